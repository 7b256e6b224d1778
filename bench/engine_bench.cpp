// Cost of one engine frame (a Vca tick and a Synth tick with the default patch)
// against its floor: the five double-precision sine calls that a frame needs.
#include "engine/synth.hpp"
#include "engine/vca.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

namespace {

void engineFrame(benchmark::State& state) {
    static Synth synth; // prints the patch listing once
    static Vca vca;
    vca.decay = 1e7f; // a decay that outlasts the run, so every tick does full work
    vca.trig();
    for (auto _ : state) {
        vca.tick();
        synth.tick();
        benchmark::DoNotOptimize(synth.out);
        benchmark::DoNotOptimize(vca.level);
    }
}
BENCHMARK(engineFrame);

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

// Prints the usual table, then the ratio of the engine frame to its floor.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            nsPerIteration[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> nsPerIteration;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double engine = reporter.nsPerIteration["engineFrame"];
    const double floor = reporter.nsPerIteration["fiveSines"];
    if (engine > 0 && floor > 0)
        std::printf("engine frame %.1f ns, five sines %.1f ns: ratio %.2fx (goal 1.5x or less)\n",
                    engine, floor, engine / floor);
    benchmark::Shutdown();
}
