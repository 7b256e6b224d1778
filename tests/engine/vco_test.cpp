// The oscillator: status line, position stepping, the five waveforms and the noise draws.
#include "engine/vco.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double TWO_PI = 6.2831853;
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();

// The generator every thread starts with, kept apart from the one under test.
struct ReferenceRandom {
    std::uint32_t state = 1;
    int next() {
        state = state * 214013u + 2531011u;
        return int((state >> 16) & 0x7fffu);
    }
};

// An oscillator at rest at `pos` (aFreq 0 keeps it there), ready for one tick.
Vco restingAt(float pos, float aPhase, float aAmpl, int wave) {
    Vco osc(1.0f, 0.0f, wave);
    osc.pos = pos;
    osc.aPhase = aPhase;
    osc.aAmpl = aAmpl;
    return osc;
}

TEST(Vco, PrintsBaseAndActualValues) {
    Vco osc(1.0f, 440.0f, SINE);
    testing::internal::CaptureStdout();
    osc.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Freq [440.000] Ampl [1.000] Phase [1.000] - AFreq [440.000] AAmpl [1.000] "
              "APhase [1.000]  \n");

    osc.freq = 123.4567f;
    osc.ampl = -0.25f;
    osc.aFreq = 0.0f;
    testing::internal::CaptureStdout();
    osc.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Freq [123.457] Ampl [-0.250] Phase [1.000] - AFreq [0.000] AAmpl [1.000] "
              "APhase [1.000]  \n");
}

TEST(Vco, ConstructionSetsBaseAndActualValues) {
    const Vco osc(0.5f, 220.0f, SQUARE);
    EXPECT_EQ(osc.pos, 0.0f);
    EXPECT_EQ(osc.phase, 1.0f);
    EXPECT_EQ(osc.ampl, 0.5f);
    EXPECT_EQ(osc.freq, 220.0f);
    EXPECT_EQ(osc.aPhase, 1.0f);
    EXPECT_EQ(osc.aAmpl, 0.5f);
    EXPECT_EQ(osc.aFreq, 220.0f);
    EXPECT_EQ(osc.wave, SQUARE);
}

TEST(Vco, PositionStepsAndWrapsOnceFromAbove) {
    struct Case {
        const char* name;
        float aFreq;
        std::vector<float> positions; // after each tick, from pos 0
    };
    const Case cases[] = {
        {"one cycle per tick: 10 stays, 11 wraps to 1",
         44100.0f,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, 2}},
        {"above 441000 Hz the single wrap cannot hold it", 661500.0f, {5, 10, 15, 20, 25}},
        {"no wrap from below", -44100.0f, {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12}},
        {"half a cycle per tick", 22050.0f, {0.5f, 1, 1.5f, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vco osc(1.0f, c.aFreq, SAW);
        for (std::size_t i = 0; i < c.positions.size(); ++i) {
            EXPECT_EQ(osc.tick(), 1);
            EXPECT_EQ(osc.pos, c.positions[i]) << "tick " << i + 1;
        }
    }
}

TEST(Vco, PositionAddsAFrequencyStepInDoublePrecision) {
    Vco osc(1.0f, 440.0f, SINE);
    float expected = 0.0f;
    for (int i = 0; i < 3000; ++i) {
        expected = float(double(expected) + 440.0 / 44100.0);
        if (expected > 10.0f) expected = float(double(expected) - 10.0);
        osc.tick();
        ASSERT_EQ(osc.pos, expected) << "tick " << i + 1;
    }
}

TEST(Vco, WaveformsFollowTheirFormulas) {
    struct Case {
        const char* name;
        int wave;
        float pos, aPhase, aAmpl;
        float expected;
    };
    const Case cases[] = {
        {"sine", SINE, 2.3f, 0.4f, 0.7f,
         float(std::sin((double(2.3f) + double(0.4f)) * TWO_PI) * double(0.7f))},
        {"sine, negative amplitude", SINE, 9.9f, 1.0f, -3.0f,
         float(std::sin((double(9.9f) + 1.0) * TWO_PI) * -3.0)},
        {"saw", SAW, 7.3f, 1.0f, 0.3f, float(double(7.3f) * double(0.3f))},
        {"saw with offset", SAW_OFFSET, 7.3f, 1.0f, 0.3f, float(double(7.3f) * double(0.3f) - 0.5)},
        {"saw with offset at 0", SAW_OFFSET, 0.0f, 1.0f, 2.0f, -0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vco osc = restingAt(c.pos, c.aPhase, c.aAmpl, c.wave);
        EXPECT_EQ(osc.tick(), 1);
        EXPECT_EQ(osc.out, c.expected);
        EXPECT_EQ(osc.getOut(), c.expected);
    }
}

TEST(Vco, SineAtZeroIsNotQuiteZero) {
    // 6.2831853 is a hair below 2 pi, so sin(1 cycle) is about -7.18e-9.
    Vco osc = restingAt(0.0f, 1.0f, 1.0f, SINE);
    osc.tick();
    EXPECT_NEAR(osc.out, -7.18e-9, 0.01e-9);
    EXPECT_NE(osc.out, 0.0f);

    Vco louder = restingAt(0.0f, 1.0f, 1000.0f, SINE);
    louder.tick();
    EXPECT_NEAR(louder.out, -7.18e-6, 0.01e-6);
}

TEST(Vco, SineFollowsEveryChangeOfItsArgument) {
    // At rest the argument repeats; each change, down to the sign of a zero, is heard.
    struct Step {
        float aPhase, aAmpl;
    };
    const Step steps[] = {{0.25f, 1.0f}, {0.25f, 1.0f}, {0.25f, 2.0f}, {0.75f, 2.0f},
                          {0.75f, 2.0f}, {-0.0f, 1.0f}, {0.0f, 1.0f},  {-0.0f, 1.0f},
                          {0.1f, 1.0f},  {0.1f, 1.0f},  {0.25f, 1.0f}};
    Vco osc = restingAt(-0.0f, 0.0f, 1.0f, SINE);
    osc.aFreq = -0.0f; // pos stays -0 + -0 = -0
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "aPhase " << step.aPhase << ", aAmpl " << step.aAmpl);
        osc.aPhase = step.aPhase;
        osc.aAmpl = step.aAmpl;
        osc.tick();
        const float expected = float(std::sin((-0.0 + double(step.aPhase)) * TWO_PI) * step.aAmpl);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(float(osc.out)),
                  std::bit_cast<std::uint32_t>(expected));
    }
}

TEST(Vco, SineRunsOnSmoothlyAcrossTheWrap) {
    Vco osc(1.0f, 440.0f, SINE);
    float previous = 0.0f;
    for (int i = 0; i < 5000; ++i) {
        osc.tick();
        // One step of 440 Hz moves a unit sine by at most 2 pi * 440 / 44100, about 0.0627.
        if (i > 0) {
            ASSERT_LT(std::fabs(osc.out - previous), 0.063f) << "tick " << i + 1;
        }
        previous = osc.out;
    }
}

TEST(Vco, SquareOutcomeTable) {
    // aPhase picks the sine value s at pos 0: 0.1 cycle gives s = 0.588, 0.25 gives 1,
    // 0.0 gives 0, 1/12 gives about 0.5, 0.6 gives -0.588, 0.75 gives -1.
    struct Case {
        float aPhase, aAmpl, expected;
    };
    const Case cases[] = {
        // s > 0.5: A above 0.5 gives A, from -0.5 to 0.5 gives 0, below -0.5 gives -A.
        {0.25f, 1.0f, 1.0f},
        {0.1f, 1.0f, 1.0f},
        {0.25f, 0.3f, 0.0f},
        {0.25f, 0.5f, 0.0f},
        {0.25f, -0.3f, 0.0f},
        {0.25f, -0.5f, 0.0f},
        {0.25f, -1.0f, 1.0f},
        {0.1f, 2.5f, 2.5f},
        // -0.5 <= s <= 0.5: always 0.
        {0.0f, 1.0f, 0.0f},
        {0.0f, -1.0f, 0.0f},
        {1.0f / 12.0f, 1.0f, 0.0f},
        {-1.0f / 12.0f, 1.0f, 0.0f},
        {0.5f, 7.0f, 0.0f},
        // s < -0.5: always -A.
        {0.75f, 1.0f, -1.0f},
        {0.6f, 1.0f, -1.0f},
        {0.75f, 0.3f, -0.3f},
        {0.75f, -0.3f, 0.3f},
        {0.75f, -1.0f, 1.0f},
        {0.75f, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "aPhase " << c.aPhase << ", aAmpl " << c.aAmpl);
        Vco osc = restingAt(0.0f, c.aPhase, c.aAmpl, SQUARE);
        EXPECT_EQ(osc.tick(), 1);
        EXPECT_EQ(osc.out, c.expected);
    }
}

TEST(Vco, SquareOverACycleHasThreeLevels) {
    struct Case {
        float aAmpl;
        std::vector<float> levels; // every value seen over a cycle
    };
    const Case cases[] = {
        {1.0f, {-1.0f, 0.0f, 1.0f}},
        {0.3f, {-0.3f, 0.0f}}, // the upper half of the cycle is silent
        {-1.0f, {0.0f, 1.0f}}, // 1 on both the upper and the lower part
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.aAmpl);
        Vco osc(c.aAmpl, 441.0f, SQUARE);
        std::vector<float> seen;
        for (int i = 0; i < 200; ++i) {
            osc.tick();
            if (std::find(seen.begin(), seen.end(), float(osc.out)) == seen.end())
                seen.push_back(osc.out);
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, c.levels);
    }
}

TEST(Vco, OtherWaveCodesKeepOut) {
    for (int wave : {0, 6, -1, 1000}) {
        SCOPED_TRACE(wave);
        Vco osc(1.0f, 4410.0f, wave);
        osc.out = 0.25f;
        for (int i = 1; i <= 3; ++i) {
            EXPECT_EQ(osc.tick(), 1);
            EXPECT_EQ(osc.out, 0.25f);
            EXPECT_EQ(osc.pos, float(0.1 * i));
        }
    }
}

// NOISE, run in a new thread so that its draws start from the generator's first state.
struct NoiseRun {
    std::vector<float> outs;
    std::vector<int> results;
    int nextDraw = 0; // the draw that follows the run: shows how many the run made
};

NoiseRun runNoise(float aFreq, float aAmpl, int ticks) {
    NoiseRun run;
    std::thread([&] {
        Vco osc(aAmpl, aFreq, NOISE);
        for (int i = 0; i < ticks; ++i) {
            osc.out = 12345.0f; // shows that every tick writes out
            run.results.push_back(osc.tick());
            run.outs.push_back(osc.out);
        }
        run.nextDraw = nextRandom();
    }).join();
    return run;
}

TEST(VcoNoise, SpikesFollowTheDrawsAndDivisors) {
    // d1 and d2 are the divisors of the first and second draw; d1 0 means no second draw
    // can happen (the remainders by 1 and -1 are never 1), d2 0 gives a spike of 0.
    struct Case {
        const char* name;
        float aFreq, aAmpl;
        std::int64_t d1, d2;
    };
    const Case cases[] = {
        {"440 Hz: spikes on odd first draws", 440.0f, 1.0f, 2, 211},
        {"440.9 Hz truncates to the same", 440.9f, 1.0f, 2, 211},
        {"445.9 Hz, amplitude 2.5", 445.9f, 2.5f, 7, 361},
        {"439.5 Hz: never", 439.5f, 1.0f, 1, 0},
        {"438.5 Hz: never", 438.5f, 1.0f, 1, 0},
        {"437.5 Hz: divisor 0, no spike", 437.5f, 1.0f, 0, 0},
        {"436.5 Hz: never", 436.5f, 1.0f, -1, 0},
        {"430 Hz: a negative divisor acts like its size", 430.0f, 1.0f, -8, 211},
        {"0 Hz", 0.0f, 0.5f, -438, 161},
        {"amplitude -1.2: negative second divisor", 440.0f, -1.2f, 2, -9},
        {"amplitude -1.115: second divisor 0, no spike", 440.0f, -1.115f, 2, 0},
        {"largest first divisor a float reaches", 2147483904.0f, 1.0f, 2147483466, 211},
        {"second divisor past 32 bits", 440.0f, 21474836.0f, 2, 2147483711},
    };
    constexpr int TICKS = 3000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const NoiseRun run = runNoise(c.aFreq, c.aAmpl, TICKS);
        ReferenceRandom random;
        int spikes = 0;
        for (int i = 0; i < TICKS; ++i) {
            float a = 0.0f;
            const int r1 = random.next();
            if (c.d1 != 0 && r1 % c.d1 == 1) {
                const int r2 = random.next();
                if (c.d2 != 0) a = float(r2 % c.d2);
                ++spikes;
            }
            const float expected = float((double(a) - 50.0 * double(c.aAmpl)) / 100.0);
            ASSERT_EQ(run.results[i], 1);
            ASSERT_EQ(run.outs[i], expected) << "tick " << i + 1;
        }
        EXPECT_EQ(run.nextDraw, random.next()) << "draws per tick";
        if (c.d1 == 2) {
            EXPECT_NEAR(spikes, TICKS / 2, TICKS / 10);
        }
        if (std::abs(c.d1) <= 1) {
            EXPECT_EQ(spikes, 0);
        }
    }
}

TEST(VcoNoise, RestsAtMinusHalfAmplitudeBetweenSpikes) {
    const NoiseRun run = runNoise(439.5f, 1.0f, 1000);
    for (float out : run.outs)
        ASSERT_EQ(out, -0.5f);
}

TEST(VcoNoise, ZeroAmplitudeDrawsNothing) {
    for (float aAmpl : {0.0f, -0.0f}) {
        const NoiseRun run = runNoise(440.0f, aAmpl, 500);
        for (float out : run.outs)
            ASSERT_EQ(out, 0.0f);
        EXPECT_EQ(run.nextDraw, 41) << "the first draw of the thread is still to come";
    }
}

TEST(VcoNoise, ValuesOutOfIntegerRangeGiveNoSpike) {
    // Frequencies and amplitudes whose truncation does not fit 32 bits, or is not a
    // number: such ticks rest at -aAmpl/2, write out and return 1.
    struct Case {
        const char* name;
        float aFreq, aAmpl;
    };
    const Case cases[] = {
        {"huge frequency", 1e30f, 1.0f},
        {"frequency just past 32 bits", 2147484160.0f + 439.0f, 1.0f},
        {"huge negative frequency", -1e30f, 1.0f},
        {"infinite frequency", INF, 1.0f},
        {"negative infinite frequency", -INF, 1.0f},
        {"frequency not a number", NOT_A_NUMBER, 1.0f},
        {"huge amplitude", 440.0f, 1e30f},
        {"huge negative amplitude", 440.0f, -1e30f},
        {"infinite amplitude", 440.0f, INF},
        {"negative infinite amplitude", 440.0f, -INF},
        {"amplitude not a number", 440.0f, NOT_A_NUMBER},
        {"both not a number", NOT_A_NUMBER, NOT_A_NUMBER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const NoiseRun run = runNoise(c.aFreq, c.aAmpl, 200);
        const float rest = float(-50.0 * double(c.aAmpl) / 100.0);
        for (std::size_t i = 0; i < run.outs.size(); ++i) {
            ASSERT_EQ(run.results[i], 1);
            if (std::isnan(rest)) {
                ASSERT_TRUE(std::isnan(run.outs[i])) << "tick " << i + 1;
            } else {
                ASSERT_EQ(run.outs[i], rest) << "tick " << i + 1;
            }
        }
    }
}

} // namespace
