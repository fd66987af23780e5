// The FirmwareUpgrade executable recording runs of the simulated controller
// and replaying them, and replaying the checked-in traces of data/.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace fwu::test {
namespace {

namespace fs = std::filesystem;

// A directory of its own for the traces these runs write, also the tool's
// runtime directory. (The single-instance lock is per user whatever
// XDG_RUNTIME_DIR says; ctest runs the programs that start the tool one at a
// time.)
const fs::path& Scratch() {
    static const ScratchDir dir("fwu-trace-test-");
    return dir.path();
}

ProcessOutcome RunTool(const std::string& args) {
    return RunProcess("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR='" +
                      Scratch().string() + "' '" FWU_EXE "' " + args + " 2>&1");
}

std::string Slurp(const fs::path& path) {
    return ReadFileText(path.string());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(TraceProcess, ARecordedRunReplaysToTheSameEndInBothProtocols) {
    for (const char* protocol : {"2.0", "1.0"}) {
        SCOPED_TRACE(protocol);
        const fs::path trace = Scratch() / (std::string("run-") + protocol + ".jsonl");
        const ProcessOutcome recorded = RunTool(
            "--console --update --simulate-fast --simulate-protocol=" + std::string(protocol) +
            " --record '" + trace.string() + "'");
        ASSERT_EQ(recorded.status, 0) << recorded.output;
        ASSERT_TRUE(Has(recorded.output, "[Update OK]\nUpdate and Verify OK!\n"));
        // 2.0 at the recorded pace, 1.0 at once.
        const std::string fast = protocol == std::string("1.0") ? " --simulate-fast" : "";
        const ProcessOutcome replayed =
            RunTool("--console --update" + fast + " --replay '" + trace.string() + "'");
        EXPECT_EQ(replayed.status, 0);
        EXPECT_EQ(replayed.output, recorded.output);

        const ProcessOutcome summary = RunTool("--trace-summary '" + trace.string() + "'");
        EXPECT_EQ(summary.status, 0);
        EXPECT_TRUE(
            Has(summary.output, "Image 1 (update ID 0x0313, protocol " + std::string(protocol)))
            << summary.output;
        EXPECT_TRUE(Has(summary.output, "  97 pages, ")) << summary.output;
        EXPECT_TRUE(Has(summary.output, "  7 pages, ")) << summary.output;
        EXPECT_TRUE(Has(summary.output, " times the floor\n")) << summary.output;
    }
}

TEST(TraceProcess, SeveralSimulatedControllersAreRecordedEachAtItsPlace) {
    const fs::path trace = Scratch() / "two.jsonl";
    const ProcessOutcome run = RunTool(
        "--console --simulate-fast --simulate-count=2 --wait 0 --record '" + trace.string() + "'");
    EXPECT_EQ(run.status, 0) << run.output;
    const std::string text = Slurp(trace);
    EXPECT_TRUE(
        Has(text, "#sim&1&0002#{4d1e55b2-f16f-11cf-88cb-001111000030}\",\"location\":\"sim1\","))
        << text.substr(0, 2000);
    EXPECT_TRUE(Has(text, "\"locations\":[\"sim0\",\"sim1\"]}\n"));
}

TEST(TraceProcess, APageOutOfOrderStopsTheReplayAtThatOperation) {
    const fs::path trace = Scratch() / "order.jsonl";
    ASSERT_EQ(
        RunTool("--console --update --simulate-fast --record '" + trace.string() + "'").status, 0);
    // Swap the data of the first image's pages 1 and 2 (16 data reports each)
    // in the trace: to the replay, the tool now sends page 1 where page 2 was.
    std::vector<std::string> lines = Lines(Slurp(trace));
    std::vector<std::size_t> data;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::size_t at = lines[k].find("\"data\":\"00");
        if (Has(lines[k], "\"op\":\"write\"") && at != std::string::npos &&
            lines[k].compare(at + 10, 2, "a5") != 0)
            data.push_back(k);
    }
    ASSERT_GE(data.size(), 48u);
    for (std::size_t r = 16; r < 32; ++r) {
        std::string& a = lines[data[r]];
        std::string& b = lines[data[r + 16]];
        const std::size_t at = a.find("\"data\":");
        const std::size_t bt = b.find("\"data\":");
        const std::string da = a.substr(at, 7 + 132);
        const std::string db = b.substr(bt, 7 + 132);
        a.replace(at, da.size(), db);
        b.replace(bt, db.size(), da);
    }
    std::ofstream out(trace, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    out.close();

    const ProcessOutcome o =
        RunTool("--console --update --simulate-fast --replay '" + trace.string() + "'");
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_FALSE(Has(o.output, "Update OK")) << o.output;
    // The line number is the operation number: the header is line 1.
    const std::string expected =
        "FirmwareUpgrade: replay: the run differs from the trace at "
        "operation " +
        std::to_string(data[16]) + ": recorded write on device ";
    EXPECT_TRUE(Has(o.output, expected)) << o.output;
    EXPECT_TRUE(Has(o.output, ", asked write on device ")) << o.output;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + '\n';
    return text;
}

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A trace line with another "t".
std::string WithTime(std::string line, const std::string& t) {
    const std::size_t at = line.find("\"t\":") + 4;
    return line.replace(at, line.find(',', at) - at, t);
}

TEST(TraceProcess, ADamagedTraceIsRefusedBeforeTheRunAndByTheSummary) {
    const std::string whole = Slurp(fs::path(FWU_TRACE_DATA) / "v2-write-fail.jsonl");
    const std::vector<std::string> lines = Lines(whole);
    std::vector<std::string> tooLong = lines;
    tooLong[2].insert(tooLong[2].find("\"path\":\"") + 8, 70000, 'x');
    std::vector<std::string> backwards = lines;
    backwards[4] = WithTime(lines[4], "1");
    std::vector<std::string> huge = lines;
    huge[1] = WithTime(lines[1], "1000000000000");
    const struct {
        const char* name;
        std::string text;
        std::string why;
    } damages[] = {
        {"cut", whole.substr(0, whole.size() / 2), ": the trace is cut off"},
        {"long", Join(tooLong), "line 3: longer than 65536 bytes"},
        {"backwards", Join(backwards), "line 5: \"t\" goes back in time"},
        {"huge", Join(huge), "line 2: \"t\" is 1000000000000 microseconds, more than a day"},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.name);
        const fs::path trace = Scratch() / (std::string(d.name) + ".jsonl");
        Write(trace, d.text);
        const ProcessOutcome o = RunTool("--console --update --replay '" + trace.string() + "'");
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(Has(o.output, "is damaged: ") && Has(o.output, d.why)) << o.output;
        EXPECT_FALSE(Has(o.output, "Device: ")) << o.output;
        const ProcessOutcome summary = RunTool("--trace-summary '" + trace.string() + "'");
        EXPECT_EQ(summary.status, 1);
        EXPECT_TRUE(Has(summary.output, d.why)) << summary.output;
    }
}

// With --json: the last line of standard output.
std::string LastJsonLine(const std::string& args, int& status) {
    const ProcessOutcome o =
        RunProcess("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR='" +
                   Scratch().string() + "' '" FWU_EXE "' --json " + args + " 2>/dev/null");
    status = o.status;
    const std::vector<std::string> lines = Lines(o.output);
    return lines.empty() ? std::string() : lines.back();
}

TEST(TraceProcess, AReplayPassesOnlyTheRunThatAskedForEverythingWithTheRecordedChoices) {
    const fs::path recorded = Scratch() / "whole.jsonl";
    ASSERT_EQ(
        RunTool("--console --update --simulate-fast --record '" + recorded.string() + "'").status,
        0);
    std::vector<std::string> lines = Lines(Slurp(recorded));
    EXPECT_EQ(lines[0],
              "{\"format\":\"fwu-trace\",\"version\":2,\"frontend\":\"console\",\"update\":true,"
              "\"force\":false}");
    const std::size_t total = lines.size() - 1;

    // 50 recorded writes more after the end, as if the tool had once asked
    // for them: the run stops short of the trace.
    const fs::path longer = Scratch() / "longer.jsonl";
    for (std::size_t k = 1, n = total; k <= total && n < total + 50; ++k) {
        if (!Has(lines[k], "\"op\":\"write\"") || !Has(lines[k], "\"ok\":true")) continue;
        std::string line = WithTime(lines[k], "86400000000");
        lines.push_back(line.replace(5, line.find(',') - 5, std::to_string(++n)));  // {"n":
    }
    Write(longer, Join(lines));
    const std::string replay = " --replay '" + longer.string() + "'";
    const ProcessOutcome o = RunTool("--console --update --simulate-fast" + replay);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(Has(o.output, "The controller runs the package's firmware")) << o.output;
    EXPECT_TRUE(Has(o.output, "FirmwareUpgrade: replay: the run ended at operation " +
                                  std::to_string(total) + " of " + std::to_string(total + 50) +
                                  ": the trace goes on with write on device "))
        << o.output;

    // Without --update the whole download would never be asked for: refused
    // up front.
    const ProcessOutcome other = RunTool("--console --simulate-fast" + replay);
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(Has(other.output,
                    "was recorded by the console front end with --update; this run is the console "
                    "front end without --update"))
        << other.output;
    EXPECT_FALSE(Has(other.output, "Device: ")) << other.output;

    // --json ends with the result on each of these ends, and on a difference.
    lines.resize(total + 1);
    std::size_t write = total / 2;
    while (!Has(lines[write], "\"op\":\"write\"")) ++write;
    lines[write].replace(lines[write].find("\"data\":\"") + 8, 1, "f");
    const fs::path differs = Scratch() / "differs.jsonl";
    Write(differs, Join(lines));
    for (const std::string& args :
         {"--console --update --simulate-fast" + replay, "--console --simulate-fast" + replay,
          "--console --update --simulate-fast --replay '" + differs.string() + "'"}) {
        int status = 0;
        EXPECT_EQ(LastJsonLine(args, status),
                  "{\"event\":\"result\",\"status\":1,\"outcome\":\"failed\"}")
            << args;
        EXPECT_EQ(status, 1) << args;
    }
}

TEST(TraceProcess, TheCheckedInTracesReplayToTheirRecordedEnd) {
    int count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(FWU_TRACE_DATA)) {
        if (entry.path().extension() != ".jsonl") continue;
        ++count;
        fs::path base = entry.path();
        SCOPED_TRACE(base.filename().string());
        const std::string expected = Slurp(base.replace_extension(".out"));
        const int status = std::stoi(Slurp(base.replace_extension(".status")));
        const ProcessOutcome o =
            RunTool("--console --update --simulate-fast --replay '" + entry.path().string() + "'");
        EXPECT_EQ(o.status, status) << o.output;
        EXPECT_EQ(o.output, expected);
    }
    EXPECT_GE(count, 5);
}

}  // namespace
}  // namespace fwu::test
