// The library on the real path: ALSA's "default" PCM into a private PulseAudio null
// sink, whose monitor is recorded.
//
//   alsa_end_to_end SCRIPT          the recording holds every frame the callback
//                                   computed, in order and at the right pitch, and the
//                                   library reports no underrun
//   alsa_end_to_end SCRIPT --stall  the callback stalls a few times: the library
//                                   recovers, counts the underruns, grows the device
//                                   queue as far as needed, and plays on
//   alsa_end_to_end --play STALL STATS_FILE   (run inside SCRIPT) plays the signal
//
// SCRIPT is tests/support/pulse-null-sink.sh.

#include "platform/sound/fsound.h"
#include "platform/sound/sound_stats.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int RATE = 44100;
constexpr int STREAM_BYTES = 32768;
constexpr int STREAM_FRAMES = STREAM_BYTES / 4;
constexpr unsigned int STREAM_MODE = 0x01000150;
constexpr int SINE_PERIOD = 100; // frames: 441 Hz at 44100 Hz
constexpr double SINE_AMPLITUDE = 12000;
constexpr int PLAY_FRAMES = RATE * 3 / 2; // 1.5 s
// With --stall: the callback sleeps STALL_MS, longer than the first device queue, in
// the calls that compute the frames STALL_FIRST + k * STALL_EVERY, k < STALLS.
constexpr int STALL_FIRST = RATE / 5;
constexpr int STALL_EVERY = RATE * 3 / 20;
constexpr int STALLS = 6;
constexpr int STALL_UNTIL = STALL_FIRST + (STALLS - 1) * STALL_EVERY;
constexpr int STALL_MS = 30;

// Frame n of the test signal: a sine on the left, a counter from 1 on the right, so
// that no frame is silent and every frame says where it belongs.
int16_t leftOf(int64_t n) {
    return int16_t(
        std::lround(SINE_AMPLITUDE * std::sin(2 * M_PI * double(n % SINE_PERIOD) / SINE_PERIOD)));
}
int16_t rightOf(int64_t n) {
    return int16_t(uint16_t(n + 1));
}

std::atomic<int64_t> computed{0};
bool stalls = false;

signed char fillSignal(FSOUND_STREAM*, void* buffer, int length, void*) {
    auto* samples = static_cast<int16_t*>(buffer);
    int64_t n = computed.load(std::memory_order_relaxed);
    const int64_t next = n + length / 4;
    for (int k = 0; stalls && k < STALLS; ++k)
        if (n <= STALL_FIRST + k * STALL_EVERY && STALL_FIRST + k * STALL_EVERY < next)
            std::this_thread::sleep_for(std::chrono::milliseconds(STALL_MS));
    for (int i = 0; i < length / 4; ++i, ++n) {
        samples[2 * i] = leftOf(n);
        samples[2 * i + 1] = rightOf(n);
    }
    computed.store(n, std::memory_order_release);
    return 1;
}

int play(const char* statsPath) {
    if (!FSOUND_SetOutput(FSOUND_OUTPUT_ALSA) || !FSOUND_SetDriver(0) ||
        !FSOUND_Init(RATE, 32, 0)) {
        std::fprintf(stderr, "cannot initialise ALSA's default device: error %d\n",
                     FSOUND_GetError());
        return 1;
    }
    FSOUND_STREAM* stream =
        FSOUND_Stream_Create(fillSignal, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
    if (stream == nullptr || FSOUND_Stream_Play(0, stream) != 0) {
        std::fprintf(stderr, "cannot play: error %d\n", FSOUND_GetError());
        return 1;
    }
    while (computed.load(std::memory_order_acquire) < PLAY_FRAMES)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const SoundStats stats = FSOUND_GetStats();
    FSOUND_Stream_Close(stream);
    FSOUND_Close();
    std::ofstream(statsPath) << computed.load() << ' ' << stats.underruns << ' '
                             << stats.latencyFrames << ' ' << stats.periodFrames << '\n';
    return 0;
}

int runUnderScript(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A stretch of the recording that holds frames first .. first + length of the signal.
struct Run {
    size_t start = 0; // frame of the recording
    int64_t first = 0;
    size_t length = 0;
};

// The longest stretch of the signal, each frame found by its counter (modulo 65536)
// and its sine; and how many other frames are not silent.
Run longestRun(const std::vector<int16_t>& samples, size_t& strayFrames) {
    const size_t frames = samples.size() / 2;
    Run best;
    size_t signalFrames = 0, loud = 0;
    for (size_t i = 0; i < frames;) {
        if (samples[2 * i] == 0 && samples[2 * i + 1] == 0) {
            ++i;
            continue;
        }
        ++loud;
        int64_t first = uint16_t(samples[2 * i + 1] - 1);
        while (first < 16 * 65536 && leftOf(first) != samples[2 * i])
            first += 65536;
        size_t length = 0;
        while (i + length < frames && samples[2 * (i + length)] == leftOf(first + length) &&
               samples[2 * (i + length) + 1] == rightOf(first + length))
            ++length;
        if (length == 0) {
            ++i;
            continue;
        }
        loud += length - 1;
        signalFrames += length;
        if (length > best.length) best = Run{i, first, length};
        i += length;
    }
    strayFrames = loud - signalFrames;
    return best;
}

// The pitch of the left channel over `run`, from its positive-going zero crossings.
double pitchOf(const std::vector<int16_t>& samples, const Run& run) {
    size_t firstCrossing = 0, lastCrossing = 0;
    int crossings = 0;
    for (size_t i = run.start + 1; i < run.start + run.length; ++i) {
        if (samples[2 * (i - 1)] >= 0 || samples[2 * i] < 0) continue;
        if (crossings++ == 0) firstCrossing = i;
        lastCrossing = i;
    }
    return crossings > 1 ? (crossings - 1) * double(RATE) / double(lastCrossing - firstCrossing)
                         : 0;
}

int check(const std::string& script, bool stall) {
    char pattern[] = "/tmp/alsa_end_to_end.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::filesystem::path dir = pattern;
    const std::string recording = dir / "monitor.raw";
    const std::string statsPath = dir / "stats";
    const std::string self = std::filesystem::canonical("/proc/self/exe");
    const int status = runUnderScript(
        {script, "--record", recording, "--", self, "--play", stall ? "1" : "0", statsPath});

    int64_t played = 0;
    int underruns = -1, latency = 0, period = 0;
    std::ifstream(statsPath) >> played >> underruns >> latency >> period;
    std::vector<int16_t> samples;
    {
        std::ifstream in(recording, std::ios::binary);
        int16_t pair[2];
        while (in.read(reinterpret_cast<char*>(pair), sizeof pair)) {
            samples.push_back(pair[0]);
            samples.push_back(pair[1]);
        }
    }
    std::filesystem::remove_all(dir);
    if (status != 0) {
        std::printf("FAIL: the play run ended with status %d\n", status);
        return 1;
    }
    size_t strayFrames = 0;
    const Run run = longestRun(samples, strayFrames);
    const double pitch = pitchOf(samples, run);
    std::printf("played %lld frames; latency %d frames (period %d), underruns %d\n"
                "recorded %zu frames: frames %lld to %lld of the signal at %.2f Hz from frame "
                "%zu on, %zu frames not silent besides\n",
                static_cast<long long>(played), latency, period, underruns, samples.size() / 2,
                static_cast<long long>(run.first), static_cast<long long>(run.first + run.length),
                pitch, run.start, strayFrames);

    bool ok = true;
    auto expect = [&ok](bool condition, const char* what) {
        if (!condition) std::printf("FAIL: %s\n", what);
        ok = ok && condition;
    };
    // Frames still queued when the stream closed are dropped: at most the device queue
    // and the sound server's own buffer of the same size.
    const int64_t end = run.first + int64_t(run.length);
    expect(end >= played - 2 * int64_t(latency) - period, "the signal plays to the end");
    expect(std::fabs(pitch - double(RATE) / SINE_PERIOD) < 0.5, "the sine keeps its pitch");
    if (stall) {
        expect(underruns >= 2, "the stalls are counted as underruns");
        // It grows a period at a time, only as far as the stalls ask.
        expect(latency > 3 * period && latency <= STREAM_FRAMES / 2,
               "the queue has grown step by step, within the stream's length");
        expect(run.first <= STALL_UNTIL + latency + period && run.length > size_t(RATE / 2),
               "after the stalls the signal plays on unbroken");
    } else {
        expect(underruns == 0, "the library reports no underrun");
        // The sink may miss a stream's first milliseconds.
        expect(run.first < RATE / 20, "the signal is in the recording from its start");
        expect(strayFrames == 0, "the recording holds every frame in order, without a gap");
    }
    std::printf(ok ? "PASS\n" : "");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--play") {
        stalls = std::string(argv[2]) == "1";
        return play(argv[3]);
    }
    const bool stall = argc == 3 && std::string(argv[2]) == "--stall";
    if (argc != 2 && !stall) {
        std::fprintf(stderr, "usage: %s PULSE_NULL_SINK_SCRIPT [--stall]\n", argv[0]);
        return 2;
    }
    return check(argv[1], stall);
}
