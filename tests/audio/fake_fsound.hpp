#pragma once

#include "platform/sound/fsound.h"

#include <deque>
#include <string>
#include <vector>

// A scriptable stand-in for the sound library and the console keyboard, linked into the
// audio tests in place of the real ones. Each test sets what the library answers and the
// keys the user types; every call is written to `calls` in order.
struct SoundScript {
    float version = 3.74f;
    int output = FSOUND_OUTPUT_ALSA; // the output type in force
    bool outputFixed = false;        // true: SetOutput leaves `output` as it is
    std::vector<std::string> drivers;
    int unnamedDriver = -1; // GetDriverName gives null for this index
    signed char initResult = 1;
    int error = FSOUND_ERR_NONE;
    FSOUND_STREAM* stream = reinterpret_cast<FSOUND_STREAM*>(0x5eed);
    int playResult = 0;
    std::deque<int> keys; // bytes 0 to 255; reading past the last one ends the process with 3

    // What Stream_Create was given.
    FSOUND_STREAMCALLBACK callback = nullptr;
    int length = 0;
    unsigned int mode = 0;
    int sampleRate = 0;
    void* userData = nullptr;

    std::vector<std::string> calls; // e.g. "GetNumDrivers", "SetOutput(2)", "readKey 49"
};

extern SoundScript gScript;

// Exit code of a read past the scripted keys.
inline constexpr int OUT_OF_KEYS = 3;
