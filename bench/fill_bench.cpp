// Cost of one stream buffer: fillStream for STREAM_BYTES (8192 frames) with the window's
// 640 x 800 surface to clear, against the 186 ms that the buffer plays.
#include "audio/fill_stream.hpp"
#include "audio/globals.hpp"
#include "audio/sound_setup.hpp"
#include "engine/mix_rate.hpp"

#include <SDL.h>
#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr double BUFFER_SECONDS = double(STREAM_BYTES / 4) / MIX_RATE; // about 0.186 s

void fillStreamBuffer(benchmark::State& state) {
    static Synth synth; // prints the patch listing once
    static Vca vca;
    SDL_Surface* screen =
        SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 800, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0);
    gSynth = &synth;
    gVca = &vca;
    gScreen = screen;
    vca.decay = 1e7f; // a decay that outlasts the run, so every tick does full work
    vca.level = 0.0f;
    vca.clock = 0.0f;
    vca.released = 0;
    vca.active = 1;
    std::vector<unsigned char> buffer(STREAM_BYTES);
    for (auto _ : state) {
        fillStream(nullptr, buffer.data(), STREAM_BYTES, nullptr);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    // Seconds of sound made per second of wall-clock time: the real-time factor.
    state.counters["realtime_factor"] =
        benchmark::Counter(BUFFER_SECONDS, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["buffer_ms"] = BUFFER_SECONDS * 1000.0;
    gScreen = nullptr;
    SDL_FreeSurface(screen);
}
BENCHMARK(fillStreamBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
