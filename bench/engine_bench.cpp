// Time the engine spends per report while it writes the shipped two-image
// package into a zero-latency simulated controller, with the diagnostic log
// off and on. Pauses go through a sleeper that returns at once, so what is
// measured is the engine, the transport and the simulated controller.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "bench/download_loop.h"
#include "log/log.h"
#include "platform/platform.h"

namespace fwu::test {
namespace {

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
