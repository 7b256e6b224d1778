#include "app/console_keys.hpp"
#include "app/pump_events.hpp"
#include "audio/globals.hpp"
#include "audio/sound_setup.hpp"
#include "platform/console/console.hpp"

#include <SDL.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int WINDOW_WIDTH = 640;  // pixels
constexpr int WINDOW_HEIGHT = 800; // pixels

// SDL brings no start-up code of its own here: initialise it before main and have
// SDL_Quit run at exit. Registered before every other exit handler, it runs last, after
// the sound library has stopped the mixer thread that clears the window surface.
// SDL would turn SIGINT and SIGTERM into quit events, which the program ignores: the
// signals keep their own meaning.
[[gnu::constructor]] void startSdl() {
    setenv("SDL_NO_SIGNAL_HANDLERS", "1", 1);
    SDL_Init(0);
    std::atexit(SDL_Quit);
}

// The window, or null when SDL's video cannot start or has only a headless driver
// (no keyboard to listen to).
SDL_Surface* openVideo() {
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return nullptr;
    char driver[32] = "";
    SDL_VideoDriverName(driver, sizeof driver);
    if (std::strcmp(driver, "offscreen") == 0) {
        SDL_SetError("no display, only the %s video driver", driver);
        return nullptr;
    }
    SDL_WM_SetCaption("keysynth", "keysynth");
    return SDL_SetVideoMode(WINDOW_WIDTH, WINDOW_HEIGHT, 0, SDL_ANYFORMAT);
}

// Without a display the dummy video driver keeps the event queue, and with it the
// re-trigger event, working: the program still plays, with console keys only.
SDL_Surface* openWindow() {
    if (SDL_Surface* screen = openVideo()) return screen;
    std::fprintf(stderr, "keysynth: no window (%s): playing without window keys\n", SDL_GetError());
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    return openVideo();
}

void runMainLoop() {
    bool running = true;
    while (running) {
        pumpEvents();
        if (gVca->active == 0) {
            pushRetrigger();
            std::printf("MIAM\n");
        }
        if (!keyWaiting()) continue;
        const int key = readKey();
        if (key == '.') running = false;
        handleConsoleKey(key);
    }
}

} // namespace

int main(int, char**) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // a reader of a pipe sees every line at once

    gSynth = new Synth; // prints the patch listing
    initSound();
    gScreen = openWindow();
    std::fflush(stdout);
    std::system("clear");
    std::printf("[aqzs edrftg yhujik olpm our] modifier les trucs \n");
    std::printf("[+-] change type OSC1 [7894] le type des LFO1234\n");
    std::printf("[wxcvbn,;] pour les notes (foireuxmaismarche)\n");

    Voice& voice0 = gSynth->voices[0];
    gOsc1 = voice0.carrier;
    gLfo1 = voice0.mods[0];
    gLfo2 = voice0.mods[1];
    gLfo3 = voice0.mods[2];
    gVca = new Vca;
    startStream(); // last: the stream's callback uses gSynth, gVca and gScreen at once

    runMainLoop();
    closeSound();
    return 0;
}
