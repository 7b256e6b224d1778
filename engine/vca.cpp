#include "engine/vca.hpp"

#include <cstdio>

void Vca::trig() {
    level = 0.0f;
    std::printf("\nTRIG\n");
    // The clock and released are in place before active says the note runs, so a tick
    // that sees the new note sees it from clock 0. A tick that is ending the old note
    // holds the clock for a few stores; wait those out rather than be undone by them.
    float seen = clock.load();
    while (seen == ENDING || !clock.compareExchange(seen, 0.0f))
        seen = clock.load();
    released.store(0, std::memory_order_release);
    active.store(1, std::memory_order_release);
}

void Vca::untrig() {
    std::printf("UNTRIG\n");
    released = 1;
}

void Vca::print() const {
    std::printf("VCA [%f][%f][%f] \n", double(attack), double(decay), double(sustain));
}
