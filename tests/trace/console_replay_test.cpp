// The checked-in traces replayed in-process by the console front end, on every
// platform (under Wine for the Windows build): the same labels, result text
// and exit status as the recorded run, and every request of the trace asked.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "frontends/console/console_host.h"
#include "platform/platform.h"
#include "tests/support/files.h"
#include "tests/support/services.h"
#include "trace/replay.h"

namespace fwu::test {
namespace {

namespace fs = std::filesystem;

// A checked-in file as text, whatever line ends the checkout gave it.
std::string Slurp(const fs::path& path) {
    std::string s = ReadFileText(path.string());
    std::erase(s, '\r');
    return s;
}

TEST(ConsoleReplay, EveryCheckedInTraceEndsAsRecorded) {
    // The platform's own system service: the records embedded in this
    // executable.
    const std::unique_ptr<ISystem> system = CreatePlatformSystem();
    FakeSleeper sleeper;
    const ScopedServices platform({system.get(), &sleeper});
    int count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(FWU_TRACE_DATA)) {
        if (entry.path().extension() != ".jsonl") continue;
        ++count;
        SCOPED_TRACE(entry.path().filename().string());
        fs::path base = entry.path();
        const std::string expected = Slurp(base.replace_extension(".out"));
        const int status = std::stoi(Slurp(base.replace_extension(".status")));

        std::string error;
        std::optional<trace::Trace> recorded = trace::LoadTrace(entry.path().string(), error);
        ASSERT_TRUE(recorded) << error;
        std::string difference;
        {
            trace::ReplaySession replay(std::move(*recorded),
                                        {true, [&](const std::string& m) { difference = m; }});
            const ScopedServices device({.hid = &replay, .rumble = &replay});
            ConsoleSettings settings;
            settings.update = true;
            settings.waitSeconds = 10;
            settings.appName = "FirmwareUpgrade";
            settings.virtualClock = true;
            std::ostringstream out;
            EXPECT_EQ(RunConsole(settings, &replay, out), status) << out.str();
            EXPECT_EQ(out.str(), expected);
            EXPECT_EQ(replay.Unfinished(), "");
        }
        EXPECT_EQ(difference, "");
    }
    EXPECT_GE(count, 5);
}

}  // namespace
}  // namespace fwu::test
