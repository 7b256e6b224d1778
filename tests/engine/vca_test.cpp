// The envelope: its trajectory to the figure, every stage change, and trig against a
// running mixer thread.
#include "engine/vca.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>

namespace {

std::string trigCapturing(Vca& vca) {
    testing::internal::CaptureStdout();
    vca.trig();
    return testing::internal::GetCapturedStdout();
}

std::string untrigCapturing(Vca& vca) {
    testing::internal::CaptureStdout();
    vca.untrig();
    return testing::internal::GetCapturedStdout();
}

void tickTimes(Vca& vca, int ticks) {
    for (int i = 0; i < ticks; ++i)
        vca.tick();
}

// Ticks until the envelope ends; returns the number of the tick that ended it, or 0 if
// it still runs after `limit` ticks.
int ticksToEnd(Vca& vca, int limit) {
    for (int i = 1; i <= limit; ++i) {
        vca.tick();
        if (vca.active == 0) return i;
    }
    return 0;
}

TEST(Vca, StartsIdle) {
    Vca vca;
    EXPECT_EQ(vca.active, 0);
    EXPECT_EQ(vca.level, 0.0f);
    EXPECT_EQ(vca.attack, 10.0f);
    EXPECT_EQ(vca.peak, 1.0f);
    EXPECT_EQ(vca.decay, 400.0f);
    EXPECT_EQ(vca.sustain, 0.0f);
    EXPECT_EQ(vca.release, 1500.0f);
    EXPECT_EQ(vca.clock, 0.0f);
    EXPECT_EQ(vca.released, 0);

    vca.level = 0.7f;
    EXPECT_EQ(vca.tick(), 0);
    EXPECT_EQ(vca.level, 0.0f);
    EXPECT_EQ(vca.active, 0);
}

TEST(Vca, PrintsAttackDecaySustain) {
    struct Case {
        float attack, decay, sustain;
        const char* line;
    };
    const Case cases[] = {
        {10.0f, 400.0f, 0.0f, "VCA [10.000000][400.000000][0.000000] \n"},
        {-90.0f, 4000.5f, 0.1f, "VCA [-90.000000][4000.500000][0.100000] \n"},
    };
    for (const Case& c : cases) {
        Vca vca;
        vca.attack = c.attack;
        vca.decay = c.decay;
        vca.sustain = c.sustain;
        testing::internal::CaptureStdout();
        vca.print();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
}

TEST(Vca, TrigAndUntrigPrintAndSetTheirFields) {
    Vca vca;
    EXPECT_EQ(untrigCapturing(vca), "UNTRIG\n");
    EXPECT_EQ(vca.released, 1);
    EXPECT_EQ(vca.active, 0) << "untrig alone starts nothing";
    EXPECT_EQ(vca.tick(), 0);

    vca.level = 0.3f;
    EXPECT_EQ(trigCapturing(vca), "\nTRIG\n");
    EXPECT_EQ(vca.level, 0.0f);
    EXPECT_EQ(vca.active, 1);
    EXPECT_EQ(vca.clock, 0.0f);
    EXPECT_EQ(vca.released, 0);

    tickTimes(vca, 3000);
    const float clock = vca.clock, level = vca.level;
    EXPECT_EQ(untrigCapturing(vca), "UNTRIG\n");
    EXPECT_EQ(vca.released, 1);
    EXPECT_EQ(vca.active, 1);
    EXPECT_EQ(vca.clock, clock);
    EXPECT_EQ(vca.level, level);
}

TEST(Vca, DefaultEnvelopeToTheFigure) {
    Vca vca;
    trigCapturing(vca);

    // Attack: the level comes from the clock before the step, so tick 1 gives 0.
    for (int tick = 1; tick <= 2000; ++tick) {
        const float clock = vca.clock;
        ASSERT_EQ(vca.tick(), 1);
        ASSERT_EQ(vca.level, float(double(clock) * 1.0 / 10.0)) << "tick " << tick;
        ASSERT_EQ(vca.clock, float(double(clock) + 0.005)) << "tick " << tick;
        if (tick == 1) {
            EXPECT_EQ(vca.level, 0.0f);
        }
        if (tick == 2) {
            EXPECT_NEAR(vca.level, 0.0005, 1e-9);
        }
    }
    EXPECT_NEAR(vca.level, 0.9995, 1e-4);

    // Decay: 79952 ticks from tick 2001, which gives about 1.
    for (int tick = 2001; tick <= 81952; ++tick) {
        const float clock = vca.clock;
        ASSERT_EQ(vca.tick(), 1);
        ASSERT_EQ(vca.level, float(1.0 - (double(clock) - 10.0) * 1.0 / 400.0)) << "tick " << tick;
        ASSERT_EQ(vca.active, 1) << "tick " << tick;
        if (tick == 2001) {
            EXPECT_NEAR(vca.level, 1.0, 1e-5);
        }
    }
    EXPECT_NEAR(vca.level, 0.0000015, 0.000001);
    EXPECT_GT(vca.level, 0.0f);

    const float lastClock = vca.clock;
    EXPECT_EQ(vca.tick(), 1); // tick 81953 ends it
    EXPECT_EQ(vca.level, 0.0f);
    EXPECT_EQ(vca.active, 0);
    EXPECT_EQ(vca.clock, lastClock);
    EXPECT_EQ(vca.tick(), 0); // tick 81954 finds it idle
    EXPECT_EQ(vca.level, 0.0f);
}

TEST(Vca, FirstTickAfterTrig) {
    struct Case {
        const char* name;
        float attack, decay, sustain, release;
        bool untrigFirst; // untrig right after trig, before the tick
        float level, clock;
        int active;
    };
    const Case cases[] = {
        {"defaults: attack from 0", 10, 400, 0, 1500, false, 0.0f, 0.005f, 1},
        {"attack -90: no attack stage", -90, 400, 0, 1500, false, 0.775f, 0.005f, 1},
        {"attack 0: decay from peak", 0, 400, 0, 1500, false, 1.0f, 0.005f, 1},
        {"attack -1990, decay 4000", -1990, 4000, 0, 1500, false, 0.5025f, 0.005f, 1},
        {"attack 0, sustain 0.5: set to peak x sustain", 0, 400, 0.5f, 1500, false, 0.5f, 0, 1},
        {"attack 0, released, release 0: silent", 0, 400, 0, 0, true, 0.0f, 0, 1},
        {"attack 0, released: fades from 0", 0, 400, 0, 1500, true, 0.0f, 0, 1},
        {"released during attack: attack goes on", 10, 400, 0, 1500, true, 0.0f, 0.005f, 1},
        {"attack 0, decay 0: ends at once", 0, 0, 0, 1500, false, 0.0f, 0, 0},
        {"attack -10, decay 5: ends at once", -10, 5, 0, 1500, false, 0.0f, 0, 0},
        {"ends at once even with sustain", -10, 5, 0.5f, 1500, false, 0.0f, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vca vca;
        vca.attack = c.attack;
        vca.decay = c.decay;
        vca.sustain = c.sustain;
        vca.release = c.release;
        trigCapturing(vca);
        if (c.untrigFirst) untrigCapturing(vca);
        EXPECT_EQ(vca.tick(), 1);
        EXPECT_FLOAT_EQ(vca.level, c.level);
        EXPECT_EQ(vca.clock, c.clock);
        EXPECT_EQ(vca.active, c.active);
    }
}

TEST(Vca, EndingTick) {
    struct Case {
        const char* name;
        float attack, decay, sustain;
        int endingTick;
    };
    const Case cases[] = {
        {"defaults: decay of 79952 ticks", 10, 400, 0, 81953},
        {"decay 0: first tick at the attack's end", 10, 0, 0, 2001},
        {"negative decay: likewise", 10, -100, 0, 2001},
        {"decay 0 with sustain: likewise", 10, 0, 0.5f, 2001},
        {"attack 0, decay 0: first tick", 0, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vca vca;
        vca.attack = c.attack;
        vca.decay = c.decay;
        vca.sustain = c.sustain;
        trigCapturing(vca);
        EXPECT_EQ(ticksToEnd(vca, 100000), c.endingTick);
        EXPECT_EQ(vca.level, 0.0f);
        EXPECT_EQ(vca.tick(), 0);
    }
}

TEST(Vca, EndsByTheSumOfAttackReleaseAndBothBeforeTheDecayEnds) {
    Vca vca;
    vca.attack = -1990.0f;
    vca.decay = 4000.0f; // ad = 2010; attack + release + ad = 1520
    trigCapturing(vca);
    float clockBefore = 0.0f;
    for (int tick = 1; vca.active == 1; ++tick) {
        clockBefore = vca.clock;
        ASSERT_EQ(vca.tick(), 1);
        ASSERT_LT(tick, 400000);
    }
    EXPECT_GE(clockBefore, 1520.0f);
    EXPECT_LT(clockBefore, 1520.01f);
    EXPECT_EQ(vca.level, 0.0f);
}

TEST(Vca, UntrigDuringAttackFadesWithoutEnd) {
    Vca vca;
    trigCapturing(vca);
    tickTimes(vca, 1000);
    untrigCapturing(vca);
    tickTimes(vca, 1000); // the attack goes on to its end
    EXPECT_NEAR(vca.level, 0.9995, 1e-4);
    const float frozen = vca.clock;
    EXPECT_GE(frozen, 10.0f);

    const float start = vca.level;
    for (int tick = 1; tick <= 300000; ++tick) {
        const float level = vca.level;
        ASSERT_EQ(vca.tick(), 1);
        ASSERT_EQ(vca.level, float(level - double(level) / 100000.0)) << "tick " << tick;
        if (tick == 69315) {
            EXPECT_NEAR(vca.level / start, 0.5, 0.005) << "half-life";
        }
    }
    EXPECT_EQ(vca.active, 1);
    EXPECT_EQ(vca.clock, frozen);
    EXPECT_GT(vca.level, 0.0f);
}

TEST(Vca, ReleaseZeroSilencesAtOnceAndStaysActive) {
    Vca vca;
    vca.release = 0.0f;
    trigCapturing(vca);
    tickTimes(vca, 5000);
    const float frozen = vca.clock;
    untrigCapturing(vca);
    EXPECT_EQ(vca.tick(), 1);
    EXPECT_EQ(vca.level, 0.0f);
    tickTimes(vca, 100000);
    EXPECT_EQ(vca.level, 0.0f);
    EXPECT_EQ(vca.active, 1);
    EXPECT_EQ(vca.clock, frozen);
}

// The sustain stage from its two entries: the end of the attack and a decay that
// meets a sustain set from a key.
TEST(Vca, SustainApproachesAndHolds) {
    struct Case {
        const char* name;
        int ticksBeforeSustain; // with sustain 0, then sustain is set
        float sustain;
    };
    const Case cases[] = {
        {"sustain set before the note", 0, 0.5f},
        {"sustain set during the decay", 10000, 0.3f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vca vca;
        if (c.ticksBeforeSustain == 0) vca.sustain = c.sustain;
        trigCapturing(vca);
        tickTimes(vca, c.ticksBeforeSustain > 0 ? c.ticksBeforeSustain : 2000);
        vca.sustain = c.sustain;
        const float frozen = vca.clock;

        int shrinking = 0;
        while (vca.level > c.sustain) {
            const float level = vca.level;
            ASSERT_EQ(vca.tick(), 1);
            if (vca.level != float(double(c.sustain))) {
                ASSERT_EQ(vca.level, float(level - double(level) / 1000.0));
                ++shrinking;
            }
            ASSERT_LT(shrinking, 5000);
        }
        EXPECT_GT(shrinking, 100);
        vca.tick(); // at or below sustain: set to peak x sustain
        EXPECT_EQ(vca.level, c.sustain);
        tickTimes(vca, 50000);
        EXPECT_EQ(vca.level, c.sustain);
        EXPECT_EQ(vca.active, 1);
        EXPECT_EQ(vca.clock, frozen);
    }
}

TEST(Vca, SustainApproachTakesAboutThousandTicksPerFoldOfE) {
    Vca vca;
    vca.sustain = 0.5f;
    trigCapturing(vca);
    tickTimes(vca, 2000);
    int ticks = 0;
    while (vca.level != 0.5f && ticks < 5000) {
        vca.tick();
        ++ticks;
    }
    EXPECT_NEAR(ticks, 1000 * std::log(2.0), 3); // from about 1 down to 0.5
}

TEST(Vca, SustainBackToZeroResumesTheDecay) {
    Vca vca;
    vca.sustain = 0.5f;
    trigCapturing(vca);
    tickTimes(vca, 5000);
    const float frozen = vca.clock;
    EXPECT_GE(frozen, 10.0f);
    EXPECT_LT(frozen, 10.005f) << "held just above the attack";

    vca.sustain = 0.0f;
    EXPECT_EQ(vca.tick(), 1);
    EXPECT_EQ(vca.level, float(1.0 - (double(frozen) - 10.0) / 400.0));
    EXPECT_NEAR(vca.level, 1.0, 1e-4) << "back to about peak";
    EXPECT_GT(vca.clock, frozen);
    const int ending = ticksToEnd(vca, 100000);
    EXPECT_NEAR(ending, 400 / 0.005, 100);
}

TEST(Vca, UntrigInSustainReleases) {
    Vca vca;
    vca.sustain = 0.5f;
    trigCapturing(vca);
    tickTimes(vca, 5000);
    untrigCapturing(vca);
    for (int tick = 0; tick < 1000; ++tick) {
        const float level = vca.level;
        vca.tick();
        ASSERT_EQ(vca.level, float(level - double(level) / 100000.0));
    }
    EXPECT_LT(vca.level, 0.5f);
    EXPECT_EQ(vca.active, 1);
}

TEST(Vca, ChangesThatEndARunningNote) {
    struct Case {
        const char* name;
        std::function<void(Vca&)> change;
    };
    // Each note holds in sustain at a clock just above 10.
    const Case cases[] = {
        {"decay lowered below the clock", [](Vca& v) { v.decay = -5.0f; }},
        {"attack lowered below the clock", [](Vca& v) { v.attack = -400.0f; }},
        {"attack + release + ad below the clock",
         [](Vca& v) {
             v.attack = -1600.0f;
             v.decay = 1700.0f;
         }},
        {"released, then ad below the clock",
         [](Vca& v) {
             v.untrig();
             v.decay = -5.0f;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vca vca;
        vca.sustain = 0.5f;
        trigCapturing(vca);
        tickTimes(vca, 3000);
        testing::internal::CaptureStdout();
        c.change(vca);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(vca.tick(), 1);
        EXPECT_EQ(vca.active, 0);
        EXPECT_EQ(vca.level, 0.0f);
        EXPECT_EQ(vca.tick(), 0);
    }
}

TEST(Vca, TrigRestartsFromAnyStage) {
    struct Case {
        const char* name;
        float sustain;
        int ticks;
        bool untrig;
    };
    const Case cases[] = {
        {"during the attack", 0.0f, 500, false},    {"during the decay", 0.0f, 30000, false},
        {"during the sustain", 0.5f, 30000, false}, {"during the release", 0.0f, 30000, true},
        {"after the end", 0.0f, 90000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vca vca;
        vca.sustain = c.sustain;
        trigCapturing(vca);
        tickTimes(vca, c.ticks);
        if (c.untrig) untrigCapturing(vca);
        vca.sustain = 0.0f;
        EXPECT_EQ(trigCapturing(vca), "\nTRIG\n");
        EXPECT_EQ(vca.level, 0.0f);
        EXPECT_EQ(vca.clock, 0.0f);
        EXPECT_EQ(vca.released, 0);
        EXPECT_EQ(vca.active, 1);
        EXPECT_EQ(vca.tick(), 1);
        EXPECT_EQ(vca.level, 0.0f);
        EXPECT_EQ(vca.tick(), 1);
        EXPECT_NEAR(vca.level, 0.0005, 1e-9);
        EXPECT_EQ(ticksToEnd(vca, 100000), 81953 - 2);
    }
}

// A mixer thread ticks short notes while the main thread restarts them, half the time
// as soon as a note has ended (as the main loop does) and half the time in the middle
// of a note. Right after each trig the note runs, and its clock and level are no further
// than the ticks since trig can have moved them: an old note never ends the new one or
// undoes its reset.
TEST(VcaConcurrency, TrigIsNeverLostAgainstARunningTick) {
    Vca vca;
    vca.attack = 0.5f; // notes of 200 ticks
    vca.decay = 0.5f;
    constexpr long NOTE_TICKS = 200;
    std::atomic<long> ticks{0};
    std::atomic<bool> stop{false};
    std::thread mixer([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            vca.tick();
            ticks.store(ticks.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        }
    });

    testing::internal::CaptureStdout(); // every trig prints
    int lost = 0, undone = 0, stale = 0, checked = 0;
    // A bounded run: on a crowded machine each restart waits for the scheduler.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 10000 && std::chrono::steady_clock::now() < deadline; ++i) {
        if (i % 2 == 0) {
            while (vca.active.load(std::memory_order_acquire) == 1)
                std::this_thread::yield();
        } else {
            while (vca.clock.load() < 0.6f && vca.active.load(std::memory_order_acquire) == 1)
                std::this_thread::yield();
        }
        const long before = ticks.load(std::memory_order_acquire);
        vca.trig();
        const int active = vca.active.load(std::memory_order_acquire);
        const float clock = vca.clock.load(std::memory_order_acquire);
        const float level = vca.level;
        // The ticks that may have touched the new note, counting one under way.
        const long since = ticks.load(std::memory_order_acquire) - before + 1;
        if (since + 1 >= NOTE_TICKS) continue; // the new note may have ended by itself
        ++checked;
        if (active != 1) ++lost;
        if (clock > since * 0.005 + 1e-4) ++undone;
        if (level > since * 0.01 + 1e-4) ++stale; // the attack rises 0.01 per tick
    }
    stop = true;
    mixer.join();
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(lost, 0) << "notes ended by the old note's clock";
    EXPECT_EQ(undone, 0) << "clock resets undone by a tick of the old note";
    EXPECT_EQ(stale, 0) << "levels of the old note stored over the restart";
    EXPECT_GT(checked, 0);
}

} // namespace
