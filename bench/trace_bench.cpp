// The engine's time per report while every operation is recorded to a trace
// file (--record), to set beside BM_Download*_LogOff of engine_bench.cpp: the
// same two-image package into a zero-latency simulated controller, pauses
// returning at once. What recording adds per report is the difference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "bench/download_loop.h"
#include "platform/platform.h"
#include "trace/recorder.h"

namespace fwu::test {
namespace {

void RecordedDownload(benchmark::State& state, sim::Generation generation) {
    std::unique_ptr<ISystem> system = CreatePlatformSystem();
    const ScopedServices services({system.get()});
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "fwu-trace-bench.jsonl";
    // Each run writes a new trace through a recording backend in front of
    // the simulated controller.
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
