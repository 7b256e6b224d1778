// The sound library's functions, states and error codes on the NoSound output, which
// needs no device: the mixer thread, its blocks, its pacing and its end at exit.

#include "platform/sound/fsound.h"
#include "platform/sound/sound_stats.h"
#include "tests/platform/allocation_counter.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

constexpr int RATE = 44100;
constexpr int STREAM_BYTES = 32768;
constexpr unsigned int STREAM_MODE = 0x01000150;

// What the callback saw, for the test's main thread.
struct Calls {
    std::atomic<int> count{0};
    std::atomic<int64_t> frames{0};
    std::atomic<int> shortest{1 << 30};
    std::atomic<int> longest{0};
    std::atomic<FSOUND_STREAM*> stream{nullptr};
    std::atomic<void*> userData{nullptr};
    std::atomic<int> policy{-1};
    std::atomic<bool> onCallerThread{false};
    std::thread::id caller = std::this_thread::get_id();
};
Calls* gCalls = nullptr;

signed char record(FSOUND_STREAM* stream, void* buffer, int length, void* userData) {
    countAllocationsOnThisThread = true;
    Calls& calls = *gCalls;
    calls.stream = stream;
    calls.userData = userData;
    calls.shortest = std::min<int>(calls.shortest, length);
    calls.longest = std::max<int>(calls.longest, length);
    calls.frames += length / 4;
    if (std::this_thread::get_id() == calls.caller) calls.onCallerThread = true;
    sched_param param{};
    int policy = -1;
    pthread_getschedparam(pthread_self(), &policy, &param);
    calls.policy = policy;
    static_cast<char*>(buffer)[0] = 0;
    ++calls.count;
    return 1;
}

// Waits (up to 10 s) until the callback has been called `count` times in all.
bool waitForCalls(int count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gCalls->count < count && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return gCalls->count >= count;
}

class SoundLibrary : public ::testing::Test {
  protected:
    void SetUp() override { gCalls = &calls; }
    // Every test leaves the library closed and with ALSA in force, as at start.
    void TearDown() override {
        FSOUND_Close();
        FSOUND_SetOutput(FSOUND_OUTPUT_ALSA);
        gCalls = nullptr;
    }
    static void initNoSound() {
        ASSERT_TRUE(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND));
        ASSERT_TRUE(FSOUND_SetDriver(0));
        ASSERT_TRUE(FSOUND_Init(RATE, 32, 0));
    }
    Calls calls;
};

TEST_F(SoundLibrary, StartsWithAlsaAndVersion374) {
    EXPECT_EQ(FSOUND_GetVersion(), 3.74f);
    EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_ALSA);
}

TEST_F(SoundLibrary, RefusesOutputTypesThisPlatformLacks) {
    for (int type : {1, 2, 3, 4, 5, 7, 8, -1, 1000}) {
        SCOPED_TRACE(type);
        EXPECT_FALSE(FSOUND_SetOutput(type));
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
        EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_ALSA);
    }
    ASSERT_TRUE(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND));
    EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
    EXPECT_FALSE(FSOUND_SetOutput(2));
    EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
}

TEST_F(SoundLibrary, NoSoundHasOneDriver) {
    ASSERT_TRUE(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND));
    ASSERT_EQ(FSOUND_GetNumDrivers(), 1);
    EXPECT_STREQ(FSOUND_GetDriverName(0), "NoSound");
    for (int driver : {-1, 1}) {
        SCOPED_TRACE(driver);
        EXPECT_EQ(FSOUND_GetDriverName(driver), nullptr);
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
        EXPECT_FALSE(FSOUND_SetDriver(driver));
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    }
}

TEST_F(SoundLibrary, StreamCallsBeforeInitFailWithUninitialised) {
    EXPECT_EQ(FSOUND_Stream_Create(record, STREAM_BYTES, STREAM_MODE, RATE, nullptr), nullptr);
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_UNINITIALIZED);
    EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_UNINITIALIZED);
}

TEST_F(SoundLibrary, InitRefusesBadArgumentsAndSecondInit) {
    ASSERT_TRUE(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND));
    for (int rate : {0, -44100, 1000000}) {
        SCOPED_TRACE(rate);
        EXPECT_FALSE(FSOUND_Init(rate, 32, 0));
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    }
    EXPECT_FALSE(FSOUND_Init(RATE, -1, 0));
    ASSERT_TRUE(FSOUND_Init(RATE, 32, 0));
    EXPECT_FALSE(FSOUND_Init(RATE, 32, 0));
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_BUSY);
    EXPECT_FALSE(FSOUND_SetOutput(FSOUND_OUTPUT_ALSA));
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_BUSY);
    EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
    EXPECT_FALSE(FSOUND_SetDriver(0));
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_BUSY);
}

TEST_F(SoundLibrary, StreamCreateRefusesBadArguments) {
    initNoSound();
    struct Case {
        const char* what;
        FSOUND_STREAMCALLBACK callback;
        int length;
        unsigned int mode;
        int rate;
    };
    const Case cases[] = {
        {"null callback", nullptr, STREAM_BYTES, STREAM_MODE, RATE},
        {"no length", record, 0, STREAM_MODE, RATE},
        {"negative length", record, -4, STREAM_MODE, RATE},
        {"less than a frame", record, 2, STREAM_MODE, RATE},
        {"part of a frame", record, 6, STREAM_MODE, RATE},
        {"over 16 MiB", record, (1 << 24) + 4, STREAM_MODE, RATE},
        {"no mode", record, STREAM_BYTES, 0, RATE},
        {"mono", record, STREAM_BYTES, STREAM_MODE & ~FSOUND_STEREO, RATE},
        {"8 bits", record, STREAM_BYTES, STREAM_MODE & ~FSOUND_16BITS, RATE},
        {"unsigned", record, STREAM_BYTES, STREAM_MODE & ~FSOUND_SIGNED, RATE},
        {"no rate", record, STREAM_BYTES, STREAM_MODE, 0},
        {"negative rate", record, STREAM_BYTES, STREAM_MODE, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FSOUND_Stream_Create(c.callback, c.length, c.mode, c.rate, nullptr), nullptr);
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    }
}

TEST_F(SoundLibrary, CallsInTheWrongStateFailCleanly) {
    initNoSound();
    FSOUND_STREAM* stream = FSOUND_Stream_Create(record, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
    ASSERT_NE(stream, nullptr);
    int notAStream = 0;
    auto* unknown = reinterpret_cast<FSOUND_STREAM*>(&notAStream);
    EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    EXPECT_EQ(FSOUND_Stream_Play(0, unknown), -1);
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    for (int channel : {-2, 32}) {
        EXPECT_EQ(FSOUND_Stream_Play(channel, stream), -1);
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    }
    ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
    EXPECT_EQ(FSOUND_Stream_Play(0, stream), -1);
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_ALLOCATED);

    EXPECT_TRUE(FSOUND_Stream_Close(stream));
    EXPECT_FALSE(FSOUND_Stream_Close(stream));
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);
    EXPECT_FALSE(FSOUND_Stream_Close(nullptr));
    EXPECT_EQ(FSOUND_Stream_Play(0, stream), -1);
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INVALID_PARAM);

    FSOUND_Close();
    FSOUND_Close();
    EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_UNINITIALIZED);
}

TEST_F(SoundLibrary, MixerThreadAsksForPeriodBlocksNeverLongerThanTheStream) {
    struct Case {
        int length;         // bytes of the stream
        int expectedLength; // bytes asked of the callback per call
    };
    for (const Case c : {Case{STREAM_BYTES, 1024}, Case{64, 64}, Case{1028, 1024}}) {
        SCOPED_TRACE(c.length);
        calls.count = 0;
        calls.shortest = 1 << 30;
        calls.longest = 0;
        initNoSound();
        int userData = 0;
        FSOUND_STREAM* stream =
            FSOUND_Stream_Create(record, c.length, STREAM_MODE, RATE, &userData);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(FSOUND_Stream_Play(-1, stream), 0);
        ASSERT_TRUE(waitForCalls(4));
        EXPECT_TRUE(FSOUND_Stream_Close(stream));
        EXPECT_EQ(calls.stream, stream);
        EXPECT_EQ(calls.userData, &userData);
        EXPECT_FALSE(calls.onCallerThread);
        EXPECT_EQ(calls.shortest, c.expectedLength);
        EXPECT_EQ(calls.longest, c.expectedLength);
        FSOUND_Close();
    }
    const SoundStats stats = FSOUND_GetStats();
    EXPECT_EQ(stats.periodFrames, 256);
    EXPECT_EQ(stats.latencyFrames, 512);
}

TEST_F(SoundLibrary, CloseStopsTheCallbackAndTheLibraryStartsAgain) {
    for (bool closeStreamFirst : {true, false}) {
        SCOPED_TRACE(closeStreamFirst);
        initNoSound();
        FSOUND_STREAM* stream =
            FSOUND_Stream_Create(record, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
        ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
        ASSERT_TRUE(waitForCalls(calls.count + 2));
        if (closeStreamFirst) {
            EXPECT_TRUE(FSOUND_Stream_Close(stream));
        }
        FSOUND_Close();
        const int callsAtClose = calls.count;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(calls.count, callsAtClose);
    }
}

TEST_F(SoundLibrary, MixerThreadRunsRealTimeWhereAllowedAndAllocatesNothing) {
    // Whether this process may take SCHED_FIFO at all.
    int allowedPolicy = SCHED_OTHER;
    std::thread([&allowedPolicy] {
        sched_param param{};
        param.sched_priority = 1;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
            allowedPolicy = SCHED_FIFO;
    }).join();

    initNoSound();
    FSOUND_STREAM* stream = FSOUND_Stream_Create(record, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
    ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
    ASSERT_TRUE(waitForCalls(2));
    const int allocationsAfterFirstCall = countedAllocations;
    ASSERT_TRUE(waitForCalls(12));
    EXPECT_EQ(countedAllocations, allocationsAfterFirstCall);
    EXPECT_TRUE(FSOUND_Stream_Close(stream));
    EXPECT_EQ(calls.policy, allowedPolicy);
}

// Calls 10 to 15 take longer than the whole device queue.
signed char stallSometimes(FSOUND_STREAM* stream, void* buffer, int length, void* userData) {
    const int call = gCalls->count;
    if (call >= 10 && call < 16) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return record(stream, buffer, length, userData);
}

TEST_F(SoundLibrary, UnderrunsAreCountedAndGrowTheQueueUpToTheStreamLength) {
    constexpr int STREAM_FRAMES = 1024; // room for two more periods than at start
    initNoSound();
    FSOUND_STREAM* stream =
        FSOUND_Stream_Create(stallSometimes, STREAM_FRAMES * 4, STREAM_MODE, RATE, nullptr);
    ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
    ASSERT_TRUE(waitForCalls(20));
    const SoundStats stats = FSOUND_GetStats();
    EXPECT_TRUE(FSOUND_Stream_Close(stream));
    EXPECT_GE(stats.underruns, 3);
    EXPECT_EQ(stats.latencyFrames, STREAM_FRAMES);
    EXPECT_EQ(stats.periodFrames, 256);
    EXPECT_EQ(calls.longest, 256 * 4);
}

// N seconds of frames take N seconds. Loose bounds: this runs on a loaded machine.
TEST_F(SoundLibrary, NoSoundIsPacedInRealTime) {
    constexpr int SECONDS = 2;
    initNoSound();
    FSOUND_STREAM* stream = FSOUND_Stream_Create(record, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
    ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
    ASSERT_TRUE(waitForCalls(1));
    // The device takes its queue at once; from then on one frame per 1/RATE s.
    const int64_t startFrames = FSOUND_GetStats().latencyFrames;
    ASSERT_TRUE(waitForCalls(startFrames / 256 + 1));
    const auto start = std::chrono::steady_clock::now();
    const int64_t target = calls.frames + int64_t(SECONDS) * RATE;
    while (calls.frames < target)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(FSOUND_Stream_Close(stream));
    EXPECT_NEAR(seconds, SECONDS, 0.1 * SECONDS);
}

// Everything the callback reads, freed by an exit handler registered before the stream
// plays, as SDL_Quit frees the window's surface.
std::atomic<std::atomic<int>*> gSurface{nullptr};

signed char touchSurface(FSOUND_STREAM*, void*, int, void*) {
    std::atomic<int>* surface = gSurface.load();
    if (surface == nullptr) std::abort(); // used after the exit handler freed it
    ++*surface;
    return 1;
}

void freeSurface() {
    delete gSurface.exchange(nullptr);
    // Room for a mixer thread that still ran to call the callback once more.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(SoundLibraryAtExit, ExitWhileTheStreamPlaysStopsTheMixerFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        int exitCode;
        bool closeStreamFirst;
    };
    for (const Case c : {Case{0, false}, Case{1, false}, Case{0, true}}) {
        SCOPED_TRACE(c.exitCode);
        SCOPED_TRACE(c.closeStreamFirst);
        EXPECT_EXIT(
            {
                gSurface = new std::atomic<int>(0);
                std::atexit(freeSurface);
                FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND);
                FSOUND_Init(RATE, 32, 0);
                FSOUND_STREAM* stream =
                    FSOUND_Stream_Create(touchSurface, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
                FSOUND_Stream_Play(0, stream);
                while (*gSurface.load() < 3)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (c.closeStreamFirst) FSOUND_Stream_Close(stream);
                std::exit(c.exitCode);
            },
            ::testing::ExitedWithCode(c.exitCode), "");
    }
}

} // namespace
