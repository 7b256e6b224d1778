// Cost of one engine frame (a Vca tick and a Synth tick with the default patch) against
// a floor of five double-precision sine calls, one per oscillator. With its modulators at
// rest, as the program starts, the engine repeats their sines; moving, it takes all five.
#include "engine/synth.hpp"
#include "engine/vca.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

namespace {

void runFrames(benchmark::State& state, Synth& synth, Vca& vca) {
    vca.decay = 1e7f;                // a decay that outlasts the run, so every tick does full work
    if (vca.active == 0) vca.trig(); // once: later runs go on with the same note
    for (auto _ : state) {
        vca.tick();
        synth.tick();
        benchmark::DoNotOptimize(synth.out);
        benchmark::DoNotOptimize(vca.level);
    }
}

// The default patch as the program starts: its three modulators rest at 0 Hz, so each
// repeats the sine of its last tick.
void engineFrame(benchmark::State& state) {
    static Synth synth; // prints the patch listing once
    static Vca vca;
    runFrames(state, synth, vca);
}
BENCHMARK(engineFrame);

// The same patch with every modulator moving, as after console keys: five new sines a
// frame, the floor below.
void engineFrameMovingLfos(benchmark::State& state) {
    static Synth synth;
    static Vca vca;
    const float lfoHz[] = {5.0f, 3.0f, 0.5f};
    for (int j = 0; j < 3; ++j) {
        synth.voices[0].mods[j]->freq = lfoHz[j];
        synth.voices[0].mods[j]->ampl = 0.1f;
    }
    runFrames(state, synth, vca);
}
BENCHMARK(engineFrameMovingLfos);

// The sines of the default patch: two carriers that move, three modulators at rest.
void fiveSines(benchmark::State& state) {
    double pos[5] = {0.1, 0.0, 0.0, 0.0, 0.2};
    const double step[5] = {440.0 / 44100, 0.0, 0.0, 0.0, 440.0 / 44100};
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i) {
            pos[i] += step[i];
            if (pos[i] > 10.0) pos[i] -= 10.0;
            benchmark::DoNotOptimize(pos[i]); // keeps each call in the loop
            benchmark::DoNotOptimize(std::sin((pos[i] + 1.0) * 6.2831853));
        }
    }
}
BENCHMARK(fiveSines);

// Prints the usual table, then the ratio of the engine frame to its floor. The ratio
// uses CPU time, which a machine shared with other work disturbs less than wall time.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            nsPerIteration[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    std::map<std::string, double> nsPerIteration;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double engine = reporter.nsPerIteration["engineFrame"];
    const double moving = reporter.nsPerIteration["engineFrameMovingLfos"];
    const double floor = reporter.nsPerIteration["fiveSines"];
    if (moving > 0 && floor > 0)
        std::printf("engine frame, modulators moving %.1f ns, five sines %.1f ns: ratio %.2fx\n",
                    moving, floor, moving / floor);
    if (engine > 0 && floor > 0)
        std::printf("engine frame %.1f ns, five sines %.1f ns: ratio %.2fx (goal 1.5x or less)\n",
                    engine, floor, engine / floor);
    benchmark::Shutdown();
}
