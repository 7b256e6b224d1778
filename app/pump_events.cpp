#include "app/pump_events.hpp"

#include "audio/globals.hpp"
#include "engine/random.hpp"

#include <SDL.h>
#include <cstdlib>

namespace {

// The six window keys and the notes they give voice 0 and voice 1.
struct NoteKey {
    SDLKey key;
    int note0, note1;
};
constexpr NoteKey NOTE_KEYS[] = {
    {SDLK_z, 58, 58}, {SDLK_x, 63, 59}, {SDLK_c, 65, 60},
    {SDLK_v, 66, 61}, {SDLK_b, 68, 62}, {SDLK_n, 70, 63},
};

const NoteKey* findNoteKey(SDLKey key) {
    for (const NoteKey& noteKey : NOTE_KEYS)
        if (noteKey.key == key) return &noteKey;
    return nullptr;
}

void onKeyDown(SDLKey key) {
    if (key == SDLK_ESCAPE) std::exit(0);
    if (const NoteKey* noteKey = findNoteKey(key)) {
        gSynth->voices[0].note = noteKey->note0;
        gSynth->voices[1].note = noteKey->note1;
        gVca->trig(); // a sounding note restarts at once
    }
}

void onKeyUp(SDLKey key) {
    if (key == SDLK_ESCAPE) std::exit(0);
    if (findNoteKey(key) != nullptr) gVca->untrig();
}

// A random pair: voice 0 from 53 to 62, voice 1 from 58 to 67, voice 0 drawn first.
void onRetrigger() {
    gVca->untrig();
    gSynth->voices[0].note = 53 + nextRandom() % 10;
    gSynth->voices[1].note = 58 + nextRandom() % 10;
    gVca->trig();
}

} // namespace

void pumpEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        switch (event.type) {
        case SDL_KEYDOWN: onKeyDown(event.key.keysym.sym); break;
        case SDL_KEYUP: onKeyUp(event.key.keysym.sym); break;
        case SDL_USEREVENT: onRetrigger(); break;
        default: break;
        }
    }
}

void pushRetrigger() {
    SDL_Event event{};
    event.type = SDL_USEREVENT;
    event.user.code = RETRIGGER_CODE;
    event.user.data1 = nullptr;
    event.user.data2 = nullptr;
    SDL_PushEvent(&event);
}
