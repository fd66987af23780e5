#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/locations.h"
#include "log/log.h"
#include "tests/support/files.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

namespace fs = std::filesystem;

const std::string kDone = "\xE5\x8D\x87\xE7\xBA\xA7\xE7\xBB\x93\xE6\x9D\x9F.";  // 升级结束.

using test::ReadFileText;
using test::Utf8Path;

const std::string kSep(1, kPathSeparator);
#ifdef _WIN32
const char* const kStateVar = "LOCALAPPDATA";
#else
const char* const kStateVar = "XDG_STATE_HOME";
#endif

// A temporary executable directory with a Chinese name and a settable clock.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { sys_.exePath = dir_.Utf8("FirmwareUpgrade.exe"); }
    std::size_t FileCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_.path()), {}));
    }
    std::string PathOf(const char* name) const { return dir_.Utf8(name); }
    void StartOn() {
        isLogPrint = true;
        StartLogFile();
    }

    test::ScratchDir dir_{"fwu_log_" + kDone.substr(0, 6)};
    test::FakeSystem sys_;
    test::ScopedServices services_{{.system = &sys_}};
};

TEST_F(LogTest, NothingIsWrittenWhileLoggingIsOff) {
    StartLogFile();
    WriteLog("a.cpp", "F", 1, "x");
    LimitLogFileSize();
    EXPECT_EQ(FileCount(), 0u);
}

TEST_F(LogTest, FilesAreNamedAfterLocalTimeAndStartEmpty) {
    StartOn();
    EXPECT_EQ(logFilePath(), PathOf("Log_202435972.txt"));
    EXPECT_EQ(fs::file_size(Utf8Path(logFilePath())), 0u);
    sys_.now = {2024, 12, 25, 14, 30, 59};
    StartLogFile();
    EXPECT_EQ(logFilePath(), PathOf("Log_20241225143059.txt"));
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(LogTest, TagsMarkTheirThreadsEntriesUntilTheyEnd) {
    StartOn();
    {
        const LogTagScope port("1-2.3");
        WriteLog("a.cpp", "F", 1, "x");
        {
            const LogTagScope other("sim1");
            WriteLog("a.cpp", "G", 2, "y");
        }
        // Another thread has no tag of its own.
        std::thread([] { WriteLog("b.cpp", "H", 3, "z"); }).join();
        WriteLog("a.cpp", "F", 4, "w");
    }
    WriteLog("a.cpp", "F", 5, "v");
    EXPECT_EQ(ReadFileText(logFilePath()),
              "\n[1-2.3] a.cpp F() Line:1:x\n[sim1] a.cpp G() Line:2:y\nb.cpp H() Line:3:z"
              "\n[1-2.3] a.cpp F() Line:4:w\na.cpp F() Line:5:v");
}

TEST_F(LogTest, EntriesAreLineFeedThenPrefixAndMessage) {
    StartOn();
    WriteLog("C:\\src\\ui\\FirmwareUpgradeDlg.cpp", "OnUpgradeResultStatus", 1117, kDone);
    WriteLog("/home/b/device/DeviceManager.cpp", "SendDataToDevice", -5, "");
    WriteLog("plain.cpp", "F", 0, "100% %d %% %s");
    StartLogFile();  // same second: same file, appended
    WriteLog("dir\\", "G", 7, "m");
    EXPECT_EQ(FileCount(), 1u);
    EXPECT_EQ(ReadFileText(logFilePath()),
              "\nFirmwareUpgradeDlg.cpp OnUpgradeResultStatus() Line:1117:" + kDone +
                  "\nDeviceManager.cpp SendDataToDevice() Line:-5:"
                  "\nplain.cpp F() Line:0:100% %d %% %s"
                  "\n G() Line:7:m");
}

TEST_F(LogTest, LongEntriesAreCutAt511Utf16Units) {
    StartOn();
    const std::string prefix = "f g() Line:1:";  // 13 units
    const std::string sheng = "\xE5\x8D\x87";    // one unit, three bytes
    std::string chinese;
    for (int i = 0; i < 600; ++i) chinese += sheng;
    WriteLog("f", "g", 1, std::string(600, 'a'));
    WriteLog("f", "g", 1, chinese);
    WriteLog("f", "g", 1, std::string(497, 'b') + "\xF0\x9F\x98\x80" + "tail");  // pair at 510
    WriteLog("f", "g", 1, std::string(498, 'c'));                                // exactly 511

    std::string expected = "\n" + prefix + std::string(498, 'a') + "\n" + prefix;
    for (int i = 0; i < 498; ++i) expected += sheng;
    expected += "\n" + prefix + std::string(497, 'b') + "\n" + prefix + std::string(498, 'c');
    EXPECT_EQ(ReadFileText(logFilePath()), expected);
}

TEST_F(LogTest, OnlyAFileLargerThanTenMebibytesIsReplaced) {
    StartOn();
    const std::string first = logFilePath();
    sys_.now = {2024, 12, 25, 14, 30, 59};
    fs::resize_file(Utf8Path(first), kLogSizeLimit);
    LimitLogFileSize();
    EXPECT_EQ(logFilePath(), first);

    fs::resize_file(Utf8Path(first), kLogSizeLimit + 1);
    LimitLogFileSize();
    EXPECT_EQ(logFilePath(), PathOf("Log_20241225143059.txt"));
    WriteLog("a.cpp", "A", 1, "run");
    EXPECT_EQ(ReadFileText(logFilePath()), "\na.cpp A() Line:1:run");
    EXPECT_EQ(fs::file_size(Utf8Path(first)), kLogSizeLimit + 1);  // never cut

    // 4 GiB + 1 has a small low word: the full size counts (sparse file).
    sys_.now = {2025, 1, 1, 0, 0, 0};
    std::error_code ec;
    fs::resize_file(Utf8Path(first), (std::uint64_t{1} << 32) + 1, ec);
    if (ec) GTEST_SKIP() << "no 4 GiB file here: " << ec.message();
    StartLogFile();
    sys_.now = {2025, 1, 1, 0, 0, 1};
    fs::resize_file(Utf8Path(logFilePath()), (std::uint64_t{1} << 32) + 1);
    LimitLogFileSize();
    EXPECT_EQ(logFilePath(), PathOf("Log_202511001.txt"));
}

TEST_F(LogTest, EntriesFromTwoThreadsStayWhole) {
    StartOn();
    const std::string a = "\na.cpp Dlg() Line:1:" + std::string(200, 'A');
    const std::string b = "\nb.cpp Worker() Line:2:" + std::string(300, 'B');
    auto writer = [](const char* file, const char* fn, int line, char c, std::size_t n) {
        for (int i = 0; i < 300; ++i) WriteLog(file, fn, line, std::string(n, c));
    };
    std::thread t1(writer, "a.cpp", "Dlg", 1, 'A', 200);
    std::thread t2(writer, "b.cpp", "Worker", 2, 'B', 300);
    t1.join();
    t2.join();
    std::string text = ReadFileText(logFilePath());
    ASSERT_EQ(text.size(), 300 * (a.size() + b.size()));
    for (std::size_t pos = 0; pos < text.size();) {
        const bool isA = text.compare(pos, a.size(), a) == 0;
        ASSERT_TRUE(isA || text.compare(pos, b.size(), b) == 0) << "torn entry at " << pos;
        pos += isA ? a.size() : b.size();
    }
}

// An installed copy logs into its per-user state folder, made with the
// missing folders above it, for its owner only; its program folder stays empty.
TEST_F(LogTest, AnInstalledCopyLogsIntoItsStateFolder) {
    test::ScratchDir home{"fwu_home_"};
    sys_.installed = true;
    sys_.environment[kStateVar] = home.Utf8("new") + kSep + "state";
    StartOn();
    WriteLog("a.cpp", "A", 1, "x");
    EXPECT_EQ(logFilePath(), home.Utf8("new") + kSep + "state" + kSep + "FirmwareUpgrade" + kSep +
                                 "Log_202435972.txt");
    EXPECT_EQ(ReadFileText(logFilePath()), "\na.cpp A() Line:1:x");
    EXPECT_EQ(FileCount(), 0u);
#ifndef _WIN32
    const fs::perms others = fs::perms::group_all | fs::perms::others_all;
    EXPECT_EQ(fs::status(home.path() / "new").permissions() & others, fs::perms::none);
#endif
}

TEST_F(LogTest, ALogThatCannotBeWrittenIsReportedOnce) {
    test::ScratchDir other{"fwu_other_"};
    std::ofstream(other.path() / "file") << "x";
    fs::create_directories(other.path() / "logs" / "Log_202435972.txt");  // a folder
    struct Case {
        const char* name;
        bool installed;
        std::string stateVar;
        std::string logDir;
        std::string problem;  // the start of the one report
    };
    const std::vector<Case> cases = {
        {"installed, no per-user folder", true, "", "",
         "cannot write the diagnostic log: no per-user folder"},
        {"installed, the state folder cannot be made", true, other.Utf8("file"), "",
         "cannot write the diagnostic log: cannot create the folder"},
        {"--log-dir names a file", false, "", other.Utf8("file"),
         "cannot write the diagnostic log: cannot create the folder"},
        {"the log file cannot be created", false, "", other.Utf8("logs"),
         "cannot write the diagnostic log " + other.Utf8("logs") + kSep + "Log_202435972.txt"},
    };
    for (const Case& c : cases) {
        ResetLogForTests();
        std::vector<std::string> reports;
        SetLogProblemHandler(
            [&reports](const std::string& problem) { reports.push_back(problem); });
        sys_.installed = c.installed;
        sys_.environment.clear();
        if (!c.stateVar.empty()) sys_.environment[kStateVar] = c.stateVar;
        SetLogDirectoryOverride(c.logDir);
        StartOn();
        WriteLog("a.cpp", "A", 1, "x");
        StartLogFile();
        WriteLog("a.cpp", "A", 2, "y");
        ASSERT_EQ(reports.size(), 1u) << c.name;
        EXPECT_EQ(reports[0].substr(0, c.problem.size()), c.problem)
            << c.name << ": " << reports[0];
        EXPECT_EQ(FileCount(), 0u) << c.name;
    }
}

}  // namespace
}  // namespace fwu
