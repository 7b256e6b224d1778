#pragma once

#include "platform/sound/fsound.h"

struct SDL_Surface;

// The stream's callback, on the mixer thread: clears the window, then computes one
// frame per 4 bytes of `length`, the same sample in both channels. Always returns 1.
signed char fillStream(FSOUND_STREAM* stream, void* buffer, int length, void* userData);
// Fills the surface with black; does nothing without a surface or when it cannot be locked.
void clearScreen(SDL_Surface* surface);
