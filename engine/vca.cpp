#include "engine/vca.hpp"

#include <cstdio>
#include <thread>

void Vca::trig() {
    level = 0.0f;
    std::printf("\nTRIG\n");
    // The reset wins over any tick still at work on the old note: a tick that holds the
    // clock is waited out, and one that read the clock before the reset drops its frame.
    // A tick that reads the reset clock also reads the level 0 stored above.
    float seen = clock.load();
    while (seen == HELD || !clock.compareExchange(seen, 0.0f)) {
        std::this_thread::yield();
        seen = clock.load();
    }
    level = 0.0f; // again, over a frame of the old note stored just before the reset
    // Last, so that a tick that sees the new note sees its clock, level and released.
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
