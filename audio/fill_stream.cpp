#include "audio/fill_stream.hpp"

#include "audio/globals.hpp"

#include <SDL.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// A sample truncated toward zero and held to the 16-bit range: an overshoot clips
// instead of wrapping to full scale of the other sign. Not a number is silence.
std::int16_t toSample(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(v);
}

} // namespace

// Runs on the mixer thread: no allocation, no lock but the surface's, no output.
signed char fillStream(FSOUND_STREAM* /*stream*/, void* buffer, int length, void* /*userData*/) {
    clearScreen(gScreen);
    const int frames = length >> 2; // whole 4-byte frames; a negative length gives none
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (int i = 0; i < frames; ++i) {
        gVca->tick();
        gSynth->tick();
        const float v = gSynth->out * gVca->level; // a single-precision product
        const auto s = static_cast<std::uint16_t>(toSample(v));
        const unsigned char low = s & 0xFF, high = s >> 8; // little-endian
        unsigned char* frame = bytes + 4 * i;
        frame[0] = low; // left
        frame[1] = high;
        frame[2] = low; // right
        frame[3] = high;
    }
    return 1;
}

// Runs on the mixer thread. The bytes past each row's pixels, up to the pitch, stay as they are.
void clearScreen(SDL_Surface* surface) {
    if (surface == nullptr) return;
    if (SDL_LockSurface(surface) != 0) return;
    const Uint32 black = SDL_MapRGB(surface->format, 0, 0, 0);
    const std::size_t rowBytes = std::size_t(surface->w) * surface->format->BytesPerPixel;
    auto* row = static_cast<unsigned char*>(surface->pixels);
    for (int y = 0; y < surface->h; ++y, row += surface->pitch)
        std::memset(row, black & 0xFF, rowBytes);
    SDL_UnlockSurface(surface);
}
