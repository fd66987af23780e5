// Time the engine spends per report while it writes the shipped two-image
// package into a zero-latency simulated controller, with the diagnostic log
// off and on. Pauses go through a sleeper that returns at once, so what is
// measured is the engine, the transport and the simulated controller.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "log/log.h"
#include "platform/platform.h"
#include "tests/support/bench.h"

namespace fwu::test {
namespace {

class NullSink : public IUpgradeSink {
  public:
    std::intptr_t SendUpgradeMessage(unsigned, std::uintptr_t, std::intptr_t) override {
        ++messages;
        return 0;
    }
    std::uint64_t messages = 0;
};

void Download(benchmark::State& state, sim::Generation generation, bool logOn) {
    const Package& pkg = DefaultPackage();
    std::unique_ptr<ISystem> system = CreatePlatformSystem();
    std::string logPath;
    {
        // The log goes where the platform puts it, and is off again once the
        // services go.
        const ScopedServices services({system.get()});
        isLogPrint = logOn;
        if (logOn) {
            StartLogFile();
            logPath = logFilePath();
        }

        std::uint64_t reports = 0;
        for (auto _ : state) {
            state.PauseTiming();
            sim::Config cfg = SimFor(pkg, generation);
            cfg.traceCapacity = 16;
            auto bench = std::make_unique<Bench>(pkg, cfg);
            NullSink sink;
            bench->context.hwnd = &sink;
            state.ResumeTiming();
            bench->RunAll();
            state.PauseTiming();
            if (bench->context.upgradeResults.size() != 2) state.SkipWithError("run failed");
            reports += ReportsOfRun(pkg, generation);
            bench.reset();
            state.ResumeTiming();
        }
        state.counters["per_report"] =
            benchmark::Counter(static_cast<double>(reports),
                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }
    if (!logPath.empty()) {
        std::error_code ec;
        std::filesystem::remove(logPath, ec);
    }
}

void BM_Download2_0_LogOff(benchmark::State& s) {
    Download(s, sim::Generation::V2_0, false);
}
void BM_Download2_0_LogOn(benchmark::State& s) {
    Download(s, sim::Generation::V2_0, true);
}
void BM_Download1_0_LogOff(benchmark::State& s) {
    Download(s, sim::Generation::V1_0, false);
}
void BM_Download1_0_LogOn(benchmark::State& s) {
    Download(s, sim::Generation::V1_0, true);
}

BENCHMARK(BM_Download2_0_LogOff)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download2_0_LogOn)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download1_0_LogOff)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download1_0_LogOn)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fwu::test

BENCHMARK_MAIN();
