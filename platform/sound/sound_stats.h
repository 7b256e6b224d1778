#pragma once

// Figures of the playing stream, for tests and benchmarks; the program never prints them.
struct SoundStats {
    int underruns;     // device underruns recovered since the stream started
    int latencyFrames; // frames queued at the device: period size times periods
    int periodFrames;  // frames asked of the callback per call
};

SoundStats FSOUND_GetStats();
