#pragma once

#include "engine/mix_rate.hpp"
#include "engine/random.hpp"
#include "engine/shared.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>

// Waveform codes of Vco::wave.
enum Waveform : int { SINE = 1, SAW = 2, SAW_OFFSET = 3, SQUARE = 4, NOISE = 5 };

// A free-running oscillator: one sample per tick, 44100 ticks a second. It serves as
// a heard carrier and as a slow modulator. The owner copies the base values into the
// actual ones (plus modulation) before every tick; tick reads only the actual values.
// Every field is shared with the main thread, which edits the base values and prints.
class Vco {
  public:
    Vco(float ampl, float freq, int wave);

    int tick(); // advances one sample and writes out; returns 1
    float getOut() const { return out; }
    void print() const; // one status line of base and actual values

    Shared<float> out;          // last sample
    Shared<float> pos = 0.0f;   // cycles of aFreq, wrapped from above at 10
    Shared<float> phase = 1.0f; // base phase offset, cycles
    Shared<float> ampl;         // base amplitude, linear factor
    Shared<float> freq;         // base frequency, Hz
    Shared<float> aPhase;       // actual phase offset, cycles
    Shared<float> aAmpl;        // actual amplitude
    Shared<float> aFreq;        // actual frequency, Hz
    Shared<std::int32_t> wave;  // Waveform code; any other code holds out

  private:
    friend class Synth; // ticks its oscillators through render

    static constexpr double TWO_PI = 6.2831853; // this decimal, a hair below 2 pi

    float render(float frequency, float phaseOffset, float amplitude);
    double sine(double x);
    float noise(float frequency, float amplitude);
    static std::optional<std::int64_t> truncated(double x);

    // The last sine taken and the bits of its argument: an oscillator at rest (0 Hz, as
    // the default patch's modulators) takes the same sine on every tick. Mixer thread only.
    std::uint64_t sineArgument = 0; // the bits of +0.0, whose sine is +0.0
    double sineValue = 0.0;
};

inline int Vco::tick() {
    render(aFreq, aPhase, aAmpl);
    return 1;
}

// The tick itself, from the actual values as the caller has just stored them (the
// mixer thread alone writes them). Returns the new out. Inlined into the synth's loop,
// where a call would spill the loop's values around it.
[[gnu::always_inline]] inline float Vco::render(float frequency, float phaseOffset,
                                                float amplitude) {
    float p = float(double(pos) + double(frequency) / MIX_RATE);
    if (p > 10.0f) p = float(double(p) - 10.0); // once: a pos of exactly 10 stays
    pos = p;

    float o;
    switch (wave) {
    case SINE: o = float(sine((double(p) + phaseOffset) * TWO_PI) * amplitude); break;
    case SAW: o = float(double(p) * amplitude); break;
    case SAW_OFFSET: o = float(double(p) * amplitude - 0.5); break;
    case SQUARE:
        // Each threshold reads the value the step before it left, not the sine.
        o = float(sine((double(p) + phaseOffset) * TWO_PI));
        if (o > 0.5f) o = amplitude;
        if (o >= 0.0f && o <= 0.5f) o = 0.0f;
        if (o < 0.0f && o >= -0.5f) o = 0.0f;
        if (o < -0.5f) o = -amplitude;
        break;
    case NOISE: o = noise(frequency, amplitude); break;
    default: return out; // any other code holds out
    }
    out = o;
    return o;
}

// std::sin(x), taken again only when x differs from the last argument in any bit.
inline double Vco::sine(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    if (bits != sineArgument) {
        sineArgument = bits;
        sineValue = std::sin(x);
    }
    return sineValue;
}

// Rests at -aAmpl/2 with random spikes, about one tick in |d1| where
// d1 = trunc(aFreq - 439) + 1. A divisor of 0 or a value that does not fit a 32-bit
// integer (huge, infinite or not a number) makes a tick without a spike.
inline float Vco::noise(float frequency, float amplitude) {
    if (amplitude == 0.0f) return 0.0f; // no draw at all
    float spike = 0.0f;
    const int r1 = nextRandom();
    const auto t1 = truncated(double(frequency) - 439.0);
    if (t1 && *t1 + 1 != 0 && r1 % (*t1 + 1) == 1) {
        const int r2 = nextRandom();
        const auto t2 = truncated(double(amplitude) * 100.0);
        if (t2 && *t2 + 111 != 0) spike = float(r2 % (*t2 + 111));
    }
    return float((double(spike) - 50.0 * amplitude) / 100.0);
}

// x truncated toward zero, if the result fits a 32-bit signed integer. Widened to 64
// bits so that the +1 and +111 of the divisors cannot overflow.
inline std::optional<std::int64_t> Vco::truncated(double x) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return std::nullopt; // NaN fails too
    return std::int64_t(std::int32_t(x));
}
