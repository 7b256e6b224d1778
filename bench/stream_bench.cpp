// The stream on the real path, ALSA's "default" PCM into a private PulseAudio null sink,
// for SECONDS (default 60) while busy threads keep the other cores loaded. Prints the
// underruns and the device queue that the library reports, and the key-to-device
// latency: from a key event (a flag the main thread sets) until the first frame
// computed after it has been written to the device, plus the queue ahead of that frame.
//
//   stream_bench [SECONDS]
//
// Run directly, it starts again under tests/support/pulse-null-sink.sh, found above
// the executable (or at $KEYSYNTH_PULSE_NULL_SINK).

#include "platform/sound/fsound.h"
#include "platform/sound/sound_stats.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int RATE = 44100;
constexpr int STREAM_BYTES = 32768;
constexpr unsigned int STREAM_MODE = 0x01000150;
constexpr char INNER_RUN[] = "KEYSYNTH_STREAM_BENCH_UNDER_SINK";
constexpr int MAX_KEYS = 1 << 16;

int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Shared between the main thread (keys) and the mixer thread (callback).
std::atomic<int64_t> keyPressedNs{0}; // set by the main thread, taken by the callback
std::atomic<int> blockFrames{0};
std::vector<int64_t> keyToWrittenNs(MAX_KEYS); // filled by the callback, read after the run
std::atomic<int> keysMeasured{0};
double phase = 0; // mixer thread only

// The library waits for room at the device before it asks for a block and writes the
// block as soon as the callback returns, so the callback's end is the block's write.
signed char fill(FSOUND_STREAM*, void* buffer, int length, void*) {
    const int64_t key = keyPressedNs.exchange(0);
    auto* samples = static_cast<int16_t*>(buffer);
    const int frames = length / 4;
    for (int i = 0; i < frames; ++i) {
        const auto s = int16_t(8000 * std::sin(phase));
        phase = std::fmod(phase + 2 * M_PI * 440 / RATE, 2 * M_PI);
        samples[2 * i] = s;
        samples[2 * i + 1] = s;
    }
    blockFrames.store(frames, std::memory_order_relaxed);
    if (key != 0) {
        const int index = keysMeasured.load(std::memory_order_relaxed);
        if (index < MAX_KEYS) keyToWrittenNs[index] = nowNs() - key;
        keysMeasured.store(index + 1, std::memory_order_release);
    }
    return 1;
}

std::filesystem::path findSinkScript() {
    if (const char* given = std::getenv("KEYSYNTH_PULSE_NULL_SINK")) return given;
    const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe");
    for (auto dir = self.parent_path(); dir != dir.parent_path(); dir = dir.parent_path()) {
        const auto script = dir / "tests/support/pulse-null-sink.sh";
        if (std::filesystem::exists(script)) return script;
    }
    return {};
}

double ms(double frames) {
    return frames * 1000.0 / RATE;
}

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5))];
}

int run(int seconds) {
    if (!FSOUND_SetOutput(FSOUND_OUTPUT_ALSA) || !FSOUND_SetDriver(0) ||
        !FSOUND_Init(RATE, 32, 0)) {
        std::printf("stream_bench: ALSA's default device does not open (error %d)\n",
                    FSOUND_GetError());
        return 1;
    }
    FSOUND_STREAM* stream = FSOUND_Stream_Create(fill, STREAM_BYTES, STREAM_MODE, RATE, nullptr);
    std::atomic<bool> busy{true};
    const int busyThreads = std::max(1, int(std::thread::hardware_concurrency()) - 1);
    std::vector<std::thread> loaders;
    for (int i = 0; i < busyThreads; ++i)
        loaders.emplace_back([&busy] {
            volatile uint64_t spin = 0;
            while (busy.load(std::memory_order_relaxed))
                spin = spin + 1;
        });
    if (stream == nullptr || FSOUND_Stream_Play(0, stream) == -1) {
        std::printf("stream_bench: the stream does not play (error %d)\n", FSOUND_GetError());
        busy = false;
        for (auto& loader : loaders)
            loader.join();
        return 1;
    }
    std::printf("stream_bench: %d s of the stream through ALSA \"%s\" into a PulseAudio null "
                "sink, %d busy thread(s)\n",
                seconds, FSOUND_GetDriverName(0), busyThreads);
    std::fflush(stdout);

    // A key every 20 to 80 ms, at no fixed phase of the device's period.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> gapUs(20'000, 80'000);
    const int64_t end = nowNs() + int64_t(seconds) * 1'000'000'000;
    while (nowNs() < end) {
        std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
        int64_t none = 0;
        keyPressedNs.compare_exchange_strong(none, nowNs());
    }
    const SoundStats stats = FSOUND_GetStats();
    const int block = blockFrames;
    FSOUND_Stream_Close(stream);
    FSOUND_Close();
    busy = false;
    for (auto& loader : loaders)
        loader.join();

    const int keys = std::min(keysMeasured.load(std::memory_order_acquire), MAX_KEYS);
    // The queue ahead of a block just written: the device's queue less the block.
    const double queueAheadMs = ms(stats.latencyFrames - block);
    std::vector<double> keyToDevice;
    for (int i = 0; i < keys; ++i)
        keyToDevice.push_back(keyToWrittenNs[i] / 1e6 + queueAheadMs);
    std::sort(keyToDevice.begin(), keyToDevice.end());
    std::printf("  underruns: %d\n", stats.underruns);
    std::printf("  device queue: %d frames = %.2f ms (period %d frames = %.2f ms)\n",
                stats.latencyFrames, ms(stats.latencyFrames), stats.periodFrames,
                ms(stats.periodFrames));
    if (keys == 0) {
        std::printf("  key to device: no key measured\n");
        return 1;
    }
    double sum = 0;
    for (double each : keyToDevice)
        sum += each;
    std::printf("  key to device (%d keys, queue ahead %.2f ms included): median %.2f ms, "
                "mean %.2f ms, 99th percentile %.2f ms, max %.2f ms\n",
                keys, queueAheadMs, percentile(keyToDevice, 0.5), sum / keys,
                percentile(keyToDevice, 0.99), keyToDevice.back());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (argc > 2 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 2;
    }
    if (std::getenv(INNER_RUN) != nullptr) return run(seconds);

    const std::filesystem::path script = findSinkScript();
    if (script.empty()) {
        std::fprintf(stderr, "stream_bench: tests/support/pulse-null-sink.sh not found\n");
        return 1;
    }
    setenv(INNER_RUN, "1", 1);
    const std::string self = std::filesystem::canonical("/proc/self/exe");
    const std::string secondsText = std::to_string(seconds);
    execl(script.c_str(), script.c_str(), "--", self.c_str(), secondsText.c_str(),
          static_cast<char*>(nullptr));
    std::perror("stream_bench: cannot run pulse-null-sink.sh");
    return 1;
}
