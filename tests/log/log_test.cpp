#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "platform/system.h"
#include "tests/app/fake_system.h"

namespace fwu {
namespace {

namespace fs = std::filesystem;

const std::string kDone = "\xE5\x8D\x87\xE7\xBA\xA7\xE7\xBB\x93\xE6\x9D\x9F.";  // 升级结束.
const std::string kSheng = "\xE5\x8D\x87";                                      // 升

std::string ToUtf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

fs::path FromUtf8(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

std::string ReadAll(const std::string& utf8Path) {
    std::ifstream in(FromUtf8(utf8Path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary executable directory (with a Chinese name, so that non-ASCII
// paths are exercised) and a settable clock.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLogForTests();
        std::random_device rd;
        dir_ = fs::temp_directory_path() /
               FromUtf8("fwu_log_" + std::to_string(rd()) + "_" + kDone.substr(0, 6));
        fs::create_directories(dir_);
        sys_.fake.exePath = ToUtf8(dir_ / "FirmwareUpgrade.exe");
    }
    void TearDown() override {
        ResetLogForTests();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::vector<std::string> LogFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string n = ToUtf8(e.path().filename());
            if (n.rfind("Log_", 0) == 0) names.push_back(n);
        }
        return names;
    }
    std::string PathOf(const std::string& name) const { return ToUtf8(dir_ / name); }
    void StartOn() {
        isLogPrint = true;
        StartLogFile();
    }

    test::ScopedFakeSystem sys_;
    fs::path dir_;
};

TEST_F(LogTest, NothingIsWrittenWhileLoggingIsOff) {
    StartLogFile();
    WriteLog("a.cpp", "F", 1, "x");
    AppendLogText("y");
    LimitLogFileSize();
    EXPECT_TRUE(LogFiles().empty());
    EXPECT_EQ(logFilePath(), "");
}

TEST_F(LogTest, FileIsNamedAfterLocalTimeWithoutLeadingZeros) {
    StartOn();
    EXPECT_EQ(logFilePath(), PathOf("Log_202435972.txt"));
    sys_.fake.now = {2024, 12, 25, 14, 30, 59};
    StartLogFile();
    EXPECT_EQ(logFilePath(), PathOf("Log_20241225143059.txt"));
    ASSERT_EQ(LogFiles().size(), 2u);
    // A started file that has no entry yet is empty.
    EXPECT_EQ(fs::file_size(FromUtf8(logFilePath())), 0u);
}

TEST_F(LogTest, EntriesAreLineFeedThenPrefixAndMessageInUtf8) {
    StartOn();
    WriteLog("C:\\src\\ui\\FirmwareUpgradeDlg.cpp", "OnUpgradeResultStatus", 1117, kDone);
    WriteLog("/home/b/device/DeviceManager.cpp", "SendDataToDevice", -5, "");
    WriteLog("plain.cpp", "F", 0, "100% %d %% %s");
    WriteLog("dir\\", "G", 7, "m");
    EXPECT_EQ(ReadAll(logFilePath()),
              "\nFirmwareUpgradeDlg.cpp OnUpgradeResultStatus() Line:1117:" + kDone +
                  "\nDeviceManager.cpp SendDataToDevice() Line:-5:"
                  "\nplain.cpp F() Line:0:100% %d %% %s"
                  "\n G() Line:7:m");
}

TEST_F(LogTest, LongEntriesAreCutAt511Utf16Units) {
    StartOn();
    const std::string prefix = "f g() Line:1:";  // 13 units
    // ASCII: cut to 511 characters.
    WriteLog("f", "g", 1, std::string(600, 'a'));
    // Chinese: cut on units, not bytes (498 characters of three bytes each).
    std::string chinese;
    for (int i = 0; i < 600; ++i) chinese += kSheng;
    WriteLog("f", "g", 1, chinese);
    // A surrogate pair straddling the limit is dropped whole.
    WriteLog("f", "g", 1, std::string(497, 'b') + "\xF0\x9F\x98\x80" + "tail");
    // Exactly 511 units stays whole.
    WriteLog("f", "g", 1, std::string(498, 'c'));

    std::string expected = "\n" + prefix + std::string(511 - 13, 'a');
    expected += "\n" + prefix;
    for (int i = 0; i < 511 - 13; ++i) expected += kSheng;
    expected += "\n" + prefix + std::string(497, 'b');
    expected += "\n" + prefix + std::string(498, 'c');
    EXPECT_EQ(ReadAll(logFilePath()), expected);
}

TEST_F(LogTest, StartsInTheSameSecondAppendToOneFile) {
    StartOn();
    WriteLog("a.cpp", "A", 1, "first");
    StartLogFile();
    WriteLog("a.cpp", "A", 2, "second");
    ASSERT_EQ(LogFiles().size(), 1u);
    EXPECT_EQ(ReadAll(logFilePath()), "\na.cpp A() Line:1:first\na.cpp A() Line:2:second");
}

TEST_F(LogTest, OnlyAFileLargerThanTenMebibytesIsReplaced) {
    StartOn();
    const std::string first = logFilePath();
    // Exactly the limit: the run keeps writing to the same file.
    fs::resize_file(FromUtf8(first), kLogSizeLimit);
    sys_.fake.now = {2024, 12, 25, 14, 30, 59};
    LimitLogFileSize();
    EXPECT_EQ(logFilePath(), first);
    EXPECT_EQ(LogFiles().size(), 1u);

    // One byte more: a new file for the run; the old one is left as it is.
    fs::resize_file(FromUtf8(first), kLogSizeLimit + 1);
    LimitLogFileSize();
    EXPECT_EQ(logFilePath(), PathOf("Log_20241225143059.txt"));
    WriteLog("a.cpp", "A", 1, "run");
    EXPECT_EQ(ReadAll(logFilePath()), "\na.cpp A() Line:1:run");
    EXPECT_EQ(fs::file_size(FromUtf8(first)), kLogSizeLimit + 1);
}

TEST_F(LogTest, SizesBeyondFourGibibytesCount) {
    // 4 GiB + 1 byte has a small low word; the full size must be used. The
    // file is sparse where the file system allows it.
    StartOn();
    const std::string first = logFilePath();
    std::error_code ec;
    fs::resize_file(FromUtf8(first), (std::uint64_t{1} << 32) + 1, ec);
    if (ec) GTEST_SKIP() << "cannot make a 4 GiB file here: " << ec.message();
    sys_.fake.now = {2025, 1, 1, 0, 0, 0};
    LimitLogFileSize();
    EXPECT_EQ(logFilePath(), PathOf("Log_202511000.txt"));
    fs::remove(FromUtf8(first));
}

TEST_F(LogTest, MissingFileOrDirectoryLosesEntriesQuietly) {
    StartOn();
    fs::remove(FromUtf8(logFilePath()));
    sys_.fake.now = {2025, 1, 1, 0, 0, 0};
    LimitLogFileSize();  // no size to read: no new file
    EXPECT_TRUE(LogFiles().empty());
    WriteLog("a.cpp", "A", 1, "again");  // the next entry creates the file again
    EXPECT_EQ(ReadAll(logFilePath()), "\na.cpp A() Line:1:again");

    sys_.fake.exePath = ToUtf8(dir_ / "missing" / "FirmwareUpgrade.exe");
    StartLogFile();
    WriteLog("a.cpp", "A", 1, "lost");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(LogTest, EntriesFromTwoThreadsStayWhole) {
    StartOn();
    constexpr int kEach = 300;
    const std::string msgA(200, 'A');
    const std::string msgB(300, 'B');
    std::thread a([&] {
        for (int i = 0; i < kEach; ++i) WriteLog("a.cpp", "Dlg", 1, msgA);
    });
    std::thread b([&] {
        for (int i = 0; i < kEach; ++i) WriteLog("b.cpp", "Worker", 2, msgB);
    });
    a.join();
    b.join();
    const std::string text = ReadAll(logFilePath());
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text[0], '\n');
    int countA = 0, countB = 0;
    std::size_t pos = 1;
    while (pos <= text.size()) {
        std::size_t next = text.find('\n', pos);
        if (next == std::string::npos) next = text.size();
        const std::string entry = text.substr(pos, next - pos);
        if (entry == "a.cpp Dlg() Line:1:" + msgA) {
            ++countA;
        } else if (entry == "b.cpp Worker() Line:2:" + msgB) {
            ++countB;
        } else {
            ADD_FAILURE() << "torn entry: " << entry.substr(0, 40);
        }
        pos = next + 1;
    }
    EXPECT_EQ(countA, kEach);
    EXPECT_EQ(countB, kEach);
}

}  // namespace
}  // namespace fwu
