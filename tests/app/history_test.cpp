// The update history file on the platform's own file services: its records
// and table, two processes appending at once (fwu_history_probe), a line cut
// off by a power loss, and a history that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "app/history.h"
#include "platform/platform.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/services.h"

namespace fwu::test {
namespace {

#ifdef _WIN32
const char* const kProbe = "fwu_history_probe.exe";
#else
const char* const kProbe = "./fwu_history_probe";
#endif

// The platform's files under a fake system.
class RealFiles : public FakeSystem {
  public:
    std::string AppendLineLocked(const std::string& path, const std::string& line) override {
        return AppendPlatformFileLine(path, line);
    }
    std::string ReadFileLocked(const std::string& path, std::string& content) override {
        return ReadPlatformFileLocked(path, content);
    }
};

HistoryRecord Sample() {
    HistoryRecord r;
    r.time = "2024-03-05T09:07:02Z";
    r.version = "1.0.0";
    r.frontEnd = "console";
    r.location = "1-2.3";
    r.product = "M27504 手柄";
    r.vid = 0x3A5C;
    r.pid = 0x0001;
    r.serial = "AB\xFF";  // not UTF-8: kept as U+FFFD
    r.forced = true;
    r.before = "V1.30.10";
    r.after = "V1.40.20";
    r.returnedVersion = "V1.40.21";
    r.outcome = "unconfirmed";
    r.status = 4;
    r.durationMs = 12345;
    r.simulated = true;
    return r;
}

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(History, RecordsKeepEveryMemberAndTheTableShowsThem) {
    const std::string line = FormatHistoryLine(Sample());
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.rfind(R"({"time":"2024-03-05T09:07:02Z","version":"1.0.0",)", 0), 0u) << line;
    // The last line needs no line feed; CR LF line ends are read too.
    const HistoryContents contents = ParseHistory(line + "\r\n\n" + line);
    EXPECT_TRUE(contents.skipped.empty());
    ASSERT_EQ(contents.entries.size(), 2u);
    HistoryRecord expected = Sample();
    expected.serial = "AB\xEF\xBF\xBD";
    EXPECT_EQ(contents.entries[0].record, expected);
    EXPECT_EQ(contents.entries[1].line, line);

    const std::string table = HistoryTable(contents.entries);
    ASSERT_EQ(Lines(table), 3u);
    const std::string heading = table.substr(0, table.find('\n'));
    EXPECT_EQ(heading.rfind("Time                  Port   Controller", 0), 0u) << table;
    for (const char* cell :
         {"1-2.3", "M27504 手柄 (3A5C:0001)", "V1.30.10", "V1.40.21" /* returned before verified */,
          "unconfirmed (simulated)", "12.3 s"})
        EXPECT_NE(table.find(cell), std::string::npos) << cell << "\n" << table;
}

TEST(History, TwoProcessesAppendingAtOnceLoseNothing) {
    ScratchDir dir("fwu_history_");
    const std::string folder = dir.Utf8("state");
    constexpr int kEach = 100;
    {
        auto command = [&](const char* tag) {
            return std::string(kProbe) + " \"" + folder + "\" " + tag + " " + std::to_string(kEach);
        };
        ChildProcess a(command("A"));
        ChildProcess b(command("B"));
        ASSERT_TRUE(a.Started() && b.Started());
        EXPECT_EQ(a.Wait(), 0);
        EXPECT_EQ(b.Wait(), 0);
    }
    std::string text;
    ASSERT_EQ(ReadPlatformFileLocked(HistoryFilePath(folder), text), "");
    const HistoryContents contents = ParseHistory(text);
    EXPECT_TRUE(contents.skipped.empty());
    ASSERT_EQ(contents.entries.size(), 2u * kEach);
    // Each process's records are all there, whole and in its own order.
    for (const char* tag : {"A", "B"}) {
        std::int64_t next = 0;
        for (const HistoryEntry& e : contents.entries) {
            if (e.record.serial != tag) continue;
            EXPECT_EQ(e.record.durationMs, next++);
            EXPECT_EQ(e.record.product, std::string(300, 'p'));
        }
        EXPECT_EQ(next, kEach) << tag;
    }
}

TEST(History, ATornLastLineIsSkippedWithAWarningAndTheNextRecordKept) {
    ScratchDir dir("fwu_history_");
    RealFiles system;
    ScopedServices services({.system = &system});
    const std::string folder = dir.Utf8("state");
    RunHistory history(folder, {"1.0.0", "window"});
    ASSERT_EQ(history.Append(Sample()), "");
    // The power went while the second record was being written.
    const std::string line = FormatHistoryLine(Sample());
    std::ofstream(Utf8Path(history.Path()), std::ios::app | std::ios::binary)
        << line.substr(0, line.size() / 2);
    HistoryRecord next = Sample();
    next.serial = "NEXT";
    ASSERT_EQ(history.Append(next), "");

    std::ostringstream out, err;
    EXPECT_EQ(PrintHistory(folder, true, out, err, "FirmwareUpgrade"), 0);
    EXPECT_EQ(Lines(out.str()), 2u) << out.str();
    EXPECT_NE(out.str().find(R"("serial":"NEXT")"), std::string::npos) << out.str();
    EXPECT_EQ(err.str(), "FirmwareUpgrade: " + history.Path() +
                             ": line 2 is incomplete or damaged (a write cut off?); skipped\n");

    std::ostringstream table, tableErr;
    EXPECT_EQ(PrintHistory(folder, false, table, tableErr, "FirmwareUpgrade"), 0);
    EXPECT_EQ(Lines(table.str()), 3u) << table.str();
    EXPECT_EQ(tableErr.str(), err.str());
}

TEST(History, AHistoryThatCannotBeWrittenIsSaidOnce) {
    ScratchDir dir("fwu_history_");
    RealFiles system;
    ScopedServices services({.system = &system});
    // A file where the folder should be: what fails for root too.
    std::ofstream(Utf8Path(dir.Utf8("taken"))) << "x";
    std::vector<std::string> said;
    RunHistory history(dir.Utf8("taken"), {}, [&](const std::string& m) { said.push_back(m); });
    EXPECT_NE(history.Append(Sample()), "");
    EXPECT_NE(history.Append(Sample()), "");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("the update history cannot be written"), std::string::npos) << said[0];

    std::ostringstream out, err;
    EXPECT_EQ(PrintHistory(dir.Utf8("nothing-yet"), false, out, err, "FirmwareUpgrade"), 0);
    EXPECT_EQ(out.str().rfind("No update has been recorded in ", 0), 0u) << out.str();
}

}  // namespace
}  // namespace fwu::test
