// What both benchmark files time: whole runs of the shipped two-image package
// into a zero-latency simulated controller, pauses returning at once, only the
// run itself inside the timing, and the time per report as the counter.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

#include "tests/support/bench.h"

namespace fwu::test {

// Called before each timed run with that run's bench; what it returns is kept
// until the run's bench is gone.
using RunSetUp = std::function<std::shared_ptr<void>(Bench&)>;

inline void TimeDownloads(benchmark::State& state, sim::Generation generation,
                          const RunSetUp& setUp = {}) {
    // The dialog's messages are dropped.
    struct NullSink : IUpgradeSink {
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

}  // namespace fwu::test
