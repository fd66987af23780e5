// The engine's time per report while every operation is recorded to a trace
// file (--record), to set beside BM_Download*_LogOff of engine_bench.cpp: the
// same two-image package into a zero-latency simulated controller, pauses
// returning at once. What recording adds per report is the difference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "platform/platform.h"
#include "tests/support/bench.h"
#include "trace/recorder.h"

namespace fwu::test {
namespace {

class CountingSink : public IUpgradeSink {
  public:
    std::intptr_t SendUpgradeMessage(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
};

void RecordedDownload(benchmark::State& state, sim::Generation generation) {
    const Package& pkg = DefaultPackage();
    std::unique_ptr<ISystem> system = CreatePlatformSystem();
    const ScopedServices services({system.get()});
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "fwu-trace-bench.jsonl";

    std::uint64_t reports = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sim::Config cfg = SimFor(pkg, generation);
        cfg.traceCapacity = 16;
        auto bench = std::make_unique<Bench>(pkg, cfg);
        CountingSink sink;
        bench->context.hwnd = &sink;
        auto writer = std::make_unique<trace::TraceWriter>(path.string());
        trace::RecordingBackend recording(bench->backend, *writer);
        const ScopedServices recorded({nullptr, nullptr, &recording, nullptr, false});
        state.ResumeTiming();
        bench->RunAll();
        state.PauseTiming();
        if (bench->context.upgradeResults.size() != 2) state.SkipWithError("run failed");
        reports += ReportsOfRun(pkg, generation);
        bench.reset();
        writer.reset();
        state.ResumeTiming();
    }
    state.counters["per_report"] = benchmark::Counter(
        static_cast<double>(reports), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

void BM_Download2_0_Recorded(benchmark::State& s) {
    RecordedDownload(s, sim::Generation::V2_0);
}
void BM_Download1_0_Recorded(benchmark::State& s) {
    RecordedDownload(s, sim::Generation::V1_0);
}

BENCHMARK(BM_Download2_0_Recorded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download1_0_Recorded)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fwu::test
