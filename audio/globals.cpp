#include "audio/globals.hpp"

Synth* gSynth = nullptr;
Vca* gVca = nullptr;
SDL_Surface* gScreen = nullptr;
Vco* gOsc1 = nullptr;
Vco* gLfo1 = nullptr;
Vco* gLfo2 = nullptr;
Vco* gLfo3 = nullptr;
