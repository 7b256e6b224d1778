// Plays an arbitrary byte string into the program's key handlers and engine, with no
// sound device and no window: each pair of bytes is one action of a player or of the
// mixer thread. No input may crash, trip a sanitizer or produce an undefined sample.
#include "app/console_keys.hpp"
#include "app/pump_events.hpp"
#include "audio/fill_stream.hpp"
#include "audio/globals.hpp"

#include <SDL.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The objects as start-up leaves them; every input starts from a copy.
struct StartState {
    Vco oscillators[5] = {{1, 440, SINE}, {1, 0, SINE}, {1, 0, SINE}, {1, 0, SINE}, {1, 880, SINE}};
};

Vco* patchOscillators[5];
SDL_Surface* smallWindow = nullptr;

void resetProgram() {
    static const StartState start;
    for (int i = 0; i < 5; ++i)
        *patchOscillators[i] = start.oscillators[i];
    gSynth->voices[0].note = 58;
    gSynth->voices[1].note = 58;
    gSynth->out = 0.0f;
    *gVca = Vca();
    gWaveOsc1 = gWaveLfo1 = gWaveLfo2 = gWaveLfo3 = 0;
    SDL_Event stale;
    while (SDL_PollEvent(&stale)) {
    }
}

void pushKey(Uint8 type, int symbol) {
    if (symbol == SDLK_ESCAPE) return; // ESC ends the process, by design
    SDL_Event event{};
    event.type = type;
    event.key.keysym.sym = static_cast<SDLKey>(symbol);
    SDL_PushEvent(&event);
}

// One buffer of the stream; every frame must carry the same sample left and right.
void fill(int length, bool withWindow) {
    static std::int16_t buffer[2 * 1024 + 2];
    gScreen = withWindow ? smallWindow : nullptr;
    fillStream(nullptr, buffer, length, nullptr);
    for (int i = 0; i < length / 4; ++i)
        if (buffer[2 * i] != buffer[2 * i + 1]) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort(); // six status lines per key
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_VIDEO); // the event queue, without a window
    smallWindow = SDL_CreateRGBSurface(SDL_SWSURFACE, 64, 48, 32, 0, 0, 0, 0);

    gSynth = new Synth;
    Voice& voice0 = gSynth->voices[0];
    gOsc1 = voice0.carrier;
    gLfo1 = voice0.mods[0];
    gLfo2 = voice0.mods[1];
    gLfo3 = voice0.mods[2];
    patchOscillators[0] = gOsc1;
    patchOscillators[1] = gLfo3;
    patchOscillators[2] = gLfo2;
    patchOscillators[3] = gLfo1;
    patchOscillators[4] = gSynth->voices[1].carrier;
    gVca = new Vca;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    resetProgram();
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const int action = data[i], value = data[i + 1];
        switch (action % 6) {
        case 0: handleConsoleKey(value); break;
        case 1: pushKey(SDL_KEYDOWN, value); break;
        case 2: pushKey(SDL_KEYUP, value); break;
        case 3: pushRetrigger(); break;
        case 4: fill(value * 8 + action / 6 % 4 - 1, action & 0x40); break;
        case 5:
            for (int n = 0; n <= value * 4; ++n) {
                gVca->tick();
                gSynth->tick();
            }
            break;
        }
        pumpEvents();
    }
    return 0;
}
