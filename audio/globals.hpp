#pragma once

#include "engine/synth.hpp"
#include "engine/vca.hpp"
#include "engine/vco.hpp"

struct SDL_Surface;

// The program's objects, set once during start-up and never freed. The stream's
// callback reads gSynth, gVca and gScreen from its first buffer on.
extern Synth* gSynth;        // the one synth, with the default patch
extern Vca* gVca;            // the one envelope, gain of the whole output
extern SDL_Surface* gScreen; // the window's surface, cleared on every buffer
extern Vco* gOsc1;           // carrier of voice 0
extern Vco* gLfo1;           // modulator 0 of voice 0 ("PHASE")
extern Vco* gLfo2;           // modulator 1 of voice 0 ("FREQUENCE")
extern Vco* gLfo3;           // modulator 2 of voice 0 ("AMPLITUDE")
