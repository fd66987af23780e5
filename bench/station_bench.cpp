// Throughput of the station: N simulated controllers (1, 2, 4, 8) updated at
// once, each transfer taking about 1 ms like a real controller's and every
// pause as long as the protocol asks (the platform's sleeper). What is timed
// is the whole batch, from the station's start to its last outcome;
// `vs_one` is that time over the time of one controller alone, so 1.0 means
// that the runs overlap perfectly.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "frontends/services.h"
#include "frontends/station/station.h"
#include "platform/platform.h"
#include "tests/support/package.h"
#include "tests/support/services.h"

namespace fwu::test {
namespace {

// Counts what ended how; shows nothing.
class CountingView : public IStationView {
  public:
    void Started(const std::string&, const std::string&) override {}
    void RowChanged(const StationRow&) override {}
    void RowRemoved(const std::string&) override {}
    void Notice(const std::string&) override {}
    void Finished(const StationCounts& c, int) override { counts = c; }
    StationCounts counts;
};

double g_oneSeconds = 0;  // the batch of one, timed first

void Batch(benchmark::State& state) {
    const auto n = static_cast<unsigned>(state.range(0));
    FakeSystem system;  // the shipped records, no settings file: no log
    system.records = {{kConfigRecordId, ShippedRecords().config},
                      {kPackageRecordId, ShippedRecords().package}};
    const std::unique_ptr<ISleeper> sleeper = CreatePlatformSleeper();
    double seconds = 0;
    for (auto _ : state) {
        sim::SimBackend sim;
        for (unsigned k = 0; k < n; ++k) {
            sim::Config config;
            config.latencyUs = kSimLatencyUs;
            sim.AddController(config);
        }
        const ScopedServices services({&system, sleeper.get(), &sim, &sim});
        CountingView view;
        StationSettings settings;
        settings.count = n;
        StationEngine station(settings, &sim, view);
        const auto start = std::chrono::steady_clock::now();
        station.Run();
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(took);
        seconds += took;
        if (view.counts.updated != static_cast<int>(n)) state.SkipWithError("a run failed");
    }
    seconds /= static_cast<double>(state.iterations());
    if (n == 1) g_oneSeconds = seconds;
    if (g_oneSeconds > 0) state.counters["vs_one"] = seconds / g_oneSeconds;
    state.counters["controllers"] = n;
}

BENCHMARK(Batch)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(3)->UseManualTime()->Unit(
    benchmark::kSecond);

}  // namespace
}  // namespace fwu::test

BENCHMARK_MAIN();
