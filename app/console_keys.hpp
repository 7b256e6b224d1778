#pragma once

#include <cstdint>

// Waveform counters: 0 until their key is first pressed, then 1 to 5 round and round.
extern std::int32_t gWaveOsc1; // "+": wave of gOsc1
extern std::int32_t gWaveLfo1; // "7": wave of gLfo1
extern std::int32_t gWaveLfo2; // "8": wave of gLfo2
extern std::int32_t gWaveLfo3; // "9": wave of gLfo3

// Applies one console key (a byte, compared as a signed character) to the envelope and
// to voice 0's oscillators, floors their base values and prints the six status lines.
void handleConsoleKey(int key);
