#pragma once

#include "engine/mix_rate.hpp"
#include "engine/random.hpp"
#include "engine/shared.hpp"

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
    static constexpr double TWO_PI = 6.2831853; // this decimal, a hair below 2 pi

    int tickNoise(double amplitude);
    static std::optional<std::int64_t> truncated(double x);
};

inline int Vco::tick() {
    float p = float(double(pos) + double(aFreq) / MIX_RATE);
    if (p > 10.0f) p = float(double(p) - 10.0); // once: a pos of exactly 10 stays
    pos = p;

    const float amplitude = aAmpl;
    switch (wave) {
    case SINE: out = float(std::sin((double(p) + aPhase) * TWO_PI) * amplitude); break;
    case SAW: out = float(double(p) * amplitude); break;
    case SAW_OFFSET: out = float(double(p) * amplitude - 0.5); break;
    case SQUARE: {
        // Each threshold reads the value the step before it left, not the sine.
        float o = float(std::sin((double(p) + aPhase) * TWO_PI));
        if (o > 0.5f) o = amplitude;
        if (o >= 0.0f && o <= 0.5f) o = 0.0f;
        if (o < 0.0f && o >= -0.5f) o = 0.0f;
        if (o < -0.5f) o = -amplitude;
        out = o;
        break;
    }
    case NOISE: return tickNoise(amplitude);
    default: break;
    }
    return 1;
}

// Rests at -aAmpl/2 with random spikes, about one tick in |d1| where
// d1 = trunc(aFreq - 439) + 1. A divisor of 0 or a value that does not fit a 32-bit
// integer (huge, infinite or not a number) makes a tick without a spike.
inline int Vco::tickNoise(double amplitude) {
    if (amplitude == 0.0) {
        out = 0.0f; // no draw at all
        return 1;
    }
    float spike = 0.0f;
    const int r1 = nextRandom();
    const auto t1 = truncated(double(aFreq) - 439.0);
    if (t1 && *t1 + 1 != 0 && r1 % (*t1 + 1) == 1) {
        const int r2 = nextRandom();
        const auto t2 = truncated(amplitude * 100.0);
        if (t2 && *t2 + 111 != 0) spike = float(r2 % (*t2 + 111));
    }
    out = float((double(spike) - 50.0 * amplitude) / 100.0);
    return 1;
}

// x truncated toward zero, if the result fits a 32-bit signed integer. Widened to 64
// bits so that the +1 and +111 of the divisors cannot overflow.
inline std::optional<std::int64_t> Vco::truncated(double x) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return std::nullopt; // NaN fails too
    return std::int64_t(std::int32_t(x));
}
