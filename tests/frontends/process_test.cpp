// The FirmwareUpgrade executable run as a process with the console front end:
// its exit statuses and what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int status = -1;
    std::string output;  // standard output and standard error
};

Outcome RunTool(const std::string& args) {
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" FWU_EXE "' " + args + " 2>&1";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
    const int raw = pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

bool Has(const Outcome& o, const std::string& text) {
    return o.output.find(text) != std::string::npos;
}

TEST(ToolProcess, UpdateWithTheTransferLatencyOfARealController) {
    const Outcome o = RunTool("--console --simulate --update");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_TRUE(Has(o, "[Update OK]\nUpdate and Verify OK!\n")) << o.output;
}

TEST(ToolProcess, ExitStatusOfEachEnding) {
    Outcome o = RunTool("--simulate-fast --simulate-protocol=1.0 --update");
    EXPECT_EQ(o.status, 0) << o.output;

    o = RunTool("--console --simulate-fast --simulate-fault=write-fail@40 --update");
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_TRUE(Has(o, "[Error]\n")) << o.output;

    o = RunTool("--console --simulate=current --simulate-fast --update");
    EXPECT_EQ(o.status, 2) << o.output;
    EXPECT_TRUE(Has(o, "Can't be Updated!")) << o.output;

    // Real controllers: none on a build machine.
    o = RunTool("--console --update --wait 1");
    EXPECT_EQ(o.status, 3) << o.output;
    EXPECT_TRUE(Has(o, "No controller was found within 1 s.")) << o.output;

    o = RunTool("--console --wait=never");
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(Has(o, "Try --help.")) << o.output;
}

TEST(ToolProcess, DisplayWithoutAServerFallsBackToTheConsole) {
#ifndef FWU_HAVE_QT
    GTEST_SKIP() << "built without the window";
#endif
    // Nothing listens at display :87 here; the window would abort the process.
    FILE* pipe = popen("env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:87 '" FWU_EXE
                       "' --simulate-fast --wait 1 2>&1",
                       "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int raw = pclose(pipe);
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 0) << output;
    EXPECT_NE(output.find("no display could be opened (DISPLAY=:87); using the console front "
                          "end.\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Device: M27504_Controller\n"), std::string::npos) << output;
}

TEST(ToolProcess, PackageInfoDescribesTheBuiltInRecords) {
    const Outcome o = RunTool("--package-info");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(Has(o, "M27504_Controller")) << o.output;
    EXPECT_TRUE(Has(o, "2624")) << o.output;
}

TEST(ToolProcess, SecondCopyIsRefusedWhileTheFirstRuns) {
    FILE* first = popen("env -u DISPLAY '" FWU_EXE "' --console --simulate-fast --wait 4", "r");
    ASSERT_NE(first, nullptr);
    // The first copy holds the guard once it prints its first label.
    char line[512];
    ASSERT_NE(std::fgets(line, sizeof line, first), nullptr);
    const Outcome second = RunTool("--console --simulate-fast --wait 1");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(Has(second, "The program is already running!")) << second.output;
    EXPECT_FALSE(Has(second, "Device: ")) << second.output;
    while (std::fgets(line, sizeof line, first) != nullptr) {
    }
    const int raw = pclose(first);
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 0);
}

}  // namespace
