// The FirmwareUpgrade executable run as a process with the console front end:
// its exit statuses and what it prints.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <string>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace fwu::test {
namespace {

// The tool without a display, so that it takes the console front end.
ProcessOutcome RunTool(const std::string& args) {
    return RunProcess("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" FWU_EXE "' " + args +
                      " 2>&1");
}

bool Has(const ProcessOutcome& o, const std::string& text) {
    return o.output.find(text) != std::string::npos;
}

TEST(ToolProcess, UpdateWithTheTransferLatencyOfARealController) {
    const ProcessOutcome o = RunTool("--simulate --update");  // no display: the console
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_TRUE(Has(o, "[Update OK]\nUpdate and Verify OK!\n")) << o.output;
}

// An update (0) is the test above; an update in either protocol, a failed run
// (1) and a refused one (2) are recorded and replayed by the executable in
// tests/trace.
TEST(ToolProcess, ExitStatusOfEachEnding) {
    // Real controllers: none on a build machine.
    ProcessOutcome o = RunTool("--console --update --wait 1");
    EXPECT_EQ(o.status, 3) << o.output;
    EXPECT_TRUE(Has(o, "No controller was found within 1 s.")) << o.output;
    EXPECT_FALSE(Has(o, "Device: ")) << o.output;

    o = RunTool("--console --wait=never");
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(Has(o, "Try --help.")) << o.output;
}

// The update history through the executable: a run's record in a folder of
// the test's own, --history as a table and as the stored JSON lines; a
// history that cannot be written is one line on standard error and changes
// nothing else.
TEST(ToolProcess, UpdateHistoryIsWrittenAndPrinted) {
    ScratchDir dir("fwu_process_history_");
    const std::string at = " --history-dir '" + dir.Utf8("state") + "'";
    ProcessOutcome o = RunTool("--simulate-fast --update" + at);
    ASSERT_EQ(o.status, 0) << o.output;

    o = RunTool("--history" + at);
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.output.starts_with("Time ")) << o.output;
    for (const char* cell : {"M27504_Controller (3A5C:1F40)", "FWUSIM0000", "V1.30.10  ",
                             "V1.40.20  ", "updated (simulated)"})
        EXPECT_TRUE(Has(o, cell)) << cell << "\n" << o.output;

    o = RunTool("--history --json" + at);
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.output.starts_with("{\"time\":\"")) << o.output;
    EXPECT_TRUE(Has(o, "\"version\":\"" FWU_VERSION_TEXT "\",\"front_end\":\"console\","))
        << o.output;
    EXPECT_TRUE(Has(o, "\"outcome\":\"updated\",\"status\":0,")) << o.output;
    EXPECT_EQ(o.output.find('\n'), o.output.size() - 1) << o.output;

    std::ofstream(Utf8Path(dir.Utf8("file"))) << "x";
    o = RunTool("--simulate=current --simulate-fast --update --history-dir '" + dir.Utf8("file") +
                "'");
    EXPECT_EQ(o.status, 2) << o.output;
    const std::string said = "the update history cannot be written";
    EXPECT_TRUE(Has(o, said)) << o.output;
    EXPECT_EQ(o.output.find(said), o.output.rfind(said));
}

TEST(ToolProcess, DisplayWithoutAServerFallsBackToTheConsole) {
#ifndef FWU_HAVE_QT
    GTEST_SKIP() << "built without the window";
#endif
    // Nothing listens at display :87 here; the window would abort the process.
    const ProcessOutcome o =
        RunProcess("env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:87 '" FWU_EXE
                   "' --simulate-fast --wait 1 2>&1");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_TRUE(Has(o, "no display could be opened (DISPLAY=:87); using the console front end.\n"))
        << o.output;
    EXPECT_TRUE(Has(o, "Device: M27504_Controller\n")) << o.output;
}

TEST(ToolProcess, PackageInfoDescribesTheBuiltInRecords) {
    const ProcessOutcome o = RunTool("--package-info");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(Has(o, "M27504_Controller")) << o.output;
    EXPECT_TRUE(Has(o, "2624")) << o.output;
}

TEST(ToolProcess, SecondCopyIsRefusedWhileTheFirstRuns) {
    ChildProcess first("env -u DISPLAY '" FWU_EXE "' --console --simulate-fast --wait 4");
    ASSERT_TRUE(first.Started());
    // The first copy holds the guard once it prints its first label.
    std::string line;
    ASSERT_TRUE(first.ReadLine(line));
    const ProcessOutcome second = RunTool("--console --simulate-fast --wait 1");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(Has(second, "The program is already running!")) << second.output;
    EXPECT_FALSE(Has(second, "Device: ")) << second.output;
    first.ReadAll();
    EXPECT_EQ(first.Wait(), 0);
}

// A termination signal asks the run to stop: it ends with status 1, says why
// and, with --json, still ends its stream with the result. A signal the tool
// was started with ignored (here SIGINT, as a background job of a shell
// without job control has it) stays ignored.
TEST(ToolProcess, TerminationSignalStopsTheRunWithItsResult) {
    ChildProcess tool(
        "sh -c 'trap \"\" INT; echo $$; exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
        "\"" FWU_EXE "\" --console --json --wait 60'");
    std::string line;
    ASSERT_TRUE(tool.ReadLine(line));
    const pid_t pid = static_cast<pid_t>(std::stol(line));
    // The run waits for a controller once the package's version is shown.
    while (tool.ReadLine(line) && line.find("\"package_version\"") == std::string::npos) {
    }
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const std::string rest = tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 1) << rest;
    EXPECT_NE(rest.find("{\"event\":\"notice\",\"text\":\"Stopped by SIGTERM.\"}\n"),
              std::string::npos)
        << rest;
    const std::string result = "{\"event\":\"result\",\"status\":1,\"outcome\":\"failed\"}\n";
    ASSERT_GE(rest.size(), result.size());
    EXPECT_EQ(rest.substr(rest.size() - result.size()), result) << rest;
}

// A station stopped by a signal in the middle of its batch (real pauses and
// latency): it takes no new controller, every run in progress finishes, and
// the summary ends the output.
TEST(ToolProcess, TerminationSignalLetsTheStationsRunsFinish) {
    ChildProcess tool(
        "sh -c 'echo $$; exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
        "\"" FWU_EXE "\" --station --simulate-count=2'");
    std::string line;
    ASSERT_TRUE(tool.ReadLine(line));
    const pid_t pid = static_cast<pid_t>(std::stol(line));
    while (tool.ReadLine(line) && line.find("] Progress: 10%") == std::string::npos) {
    }
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const std::string rest = tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 0) << rest;
    EXPECT_NE(rest.find("Stopping: no new controllers are taken; waiting for 2 runs in progress "
                        "to finish.\n"),
              std::string::npos)
        << rest;
    for (const char* port : {"[sim0] Outcome: updated", "[sim1] Outcome: updated"})
        EXPECT_NE(rest.find(port), std::string::npos) << rest;
    EXPECT_TRUE(rest.ends_with("\n2 updated, 0 already current, 0 failed\n")) << rest;
}

}  // namespace
}  // namespace fwu::test
