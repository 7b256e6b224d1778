#pragma once

#include <cstdint>

// Pseudo-random integer from 0 to 32767. Each thread has its own generator state,
// which starts at 1 and is never reseeded, so every run draws the same sequence:
// the main thread's random notes never disturb the mixer thread's noise, and back.
inline int nextRandom() noexcept {
    thread_local std::uint32_t state = 1;
    state = state * 214013u + 2531011u; // modulo 2^32
    return int((state >> 16) & 0x7fffu);
}
