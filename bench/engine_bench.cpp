// Time the engine spends per report while it writes the shipped two-image
// package into a zero-latency simulated controller: with the diagnostic log
// off and on, and with every operation recorded to a trace file (--record);
// what the log or recording adds per report is the difference to LogOff.
// Pauses go through a sleeper that returns at once, so what is measured is
// the engine, the transport and the simulated controller.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "log/log.h"
#include "platform/platform.h"
#include "tests/support/bench.h"
#include "trace/recorder.h"

namespace fwu::test {
namespace {

// Whole runs, only the run itself timed. `setUp` is called before each run
// with its bench; what it returns is kept until that bench is gone.
void TimeDownloads(benchmark::State& state, sim::Generation generation,
                   const std::function<std::shared_ptr<void>(Bench&)>& setUp = {}) {
    struct NullSink : IUpgradeSink {  // the dialog's messages are dropped
        std::intptr_t SendUpgradeMessage(unsigned, std::uintptr_t, std::intptr_t) override {
            return 0;
        }
    };
    const Package& pkg = DefaultPackage();
    std::uint64_t reports = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sim::Config cfg = SimFor(pkg, generation);
        cfg.traceCapacity = 16;
        auto bench = std::make_unique<Bench>(pkg, cfg);
        NullSink sink;
        bench->context.hwnd = &sink;
        std::shared_ptr<void> held = setUp ? setUp(*bench) : nullptr;
        state.ResumeTiming();
        bench->RunAll();
        state.PauseTiming();
        if (bench->context.upgradeResults.size() != 2) state.SkipWithError("run failed");
        reports += ReportsOfRun(pkg, generation);
        bench.reset();
        held.reset();
        state.ResumeTiming();
    }
    state.counters["per_report"] = benchmark::Counter(
        static_cast<double>(reports), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Download(benchmark::State& state, sim::Generation generation, bool logOn) {
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
        TimeDownloads(state, generation);
    }
    if (!logPath.empty()) {
        std::error_code ec;
        std::filesystem::remove(logPath, ec);
    }
}

void RecordedDownload(benchmark::State& state, sim::Generation generation) {
    std::unique_ptr<ISystem> system = CreatePlatformSystem();
    const ScopedServices services({system.get()});
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "fwu-trace-bench.jsonl";
    // Each run writes a new trace through a recording backend in front of the
    // simulated controller.
    struct Recording {
        Recording(Bench& bench, const std::string& path)
            : writer(path), backend(bench.backend, writer) {}
        trace::TraceWriter writer;
        trace::RecordingBackend backend;
        ScopedServices services{{nullptr, nullptr, &backend, nullptr, false}};
    };
    TimeDownloads(state, generation, [&path](Bench& bench) {
        return std::make_shared<Recording>(bench, path.string());
    });
    std::error_code ec;
    std::filesystem::remove(path, ec);
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
void BM_Download2_0_Recorded(benchmark::State& s) {
    RecordedDownload(s, sim::Generation::V2_0);
}
void BM_Download1_0_Recorded(benchmark::State& s) {
    RecordedDownload(s, sim::Generation::V1_0);
}

BENCHMARK(BM_Download2_0_LogOff)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download2_0_LogOn)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download1_0_LogOff)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download1_0_LogOn)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download2_0_Recorded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download1_0_Recorded)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fwu::test

BENCHMARK_MAIN();
