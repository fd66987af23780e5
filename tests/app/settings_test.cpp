#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "app/settings.h"
#include "base/ini.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

const std::string kSep(1, kPathSeparator);

TEST(IniLookup, FollowsTheProfileReaderRules) {
    const std::string text =
        "\xEF\xBB\xBF; comment\r\n[Other]\r\nIsLogPrint=other\r\n  [ settings ]  \r\n"
        ";IsShowSubVer=commented\r\n  isLOGprint  =   true  \r\nQuoted=\"  a  \"\r\n"
        "Single='x'\r\nUnmatched=\"x'\r\nNoValue\r\nEq=a=b\r\nLong=abcdefghij\r\n"
        "Pair=\xF0\x9F\x98\x80x\r\n[x]\r\n[Settings]\r\nLater=1\r\n";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"ISLOGPRINT", "true"}, {"Quoted", "  a  "}, {"Single", "x"},
        {"Unmatched", "\"x'"},  {"NoValue", ""},     {"Eq", "a=b"},
        {"IsShowSubVer", ""},   {"Later", ""},       {"Missing", ""}};
    for (const auto& [key, value] : cases)
        EXPECT_EQ(IniLookup(text, "Settings", key, 20), value) << key;
    EXPECT_EQ(IniLookup(text, "OTHER", "islogprint", 20), "other");
    EXPECT_EQ(IniLookup(text, "Absent", "IsLogPrint", 20), "");
    EXPECT_EQ(IniLookup("IsLogPrint=true\n", "Settings", "IsLogPrint", 20), "");
    // At most capacity - 1 UTF-16 units; a surrogate pair is never split.
    EXPECT_EQ(IniLookup(text, "Settings", "Long", 5), "abcd");
    EXPECT_EQ(IniLookup(text, "Settings", "Long", 0), "");
    EXPECT_EQ(IniLookup(text, "Settings", "Pair", 2), "");
    EXPECT_EQ(IniLookup(text, "Settings", "Pair", 3), "\xF0\x9F\x98\x80");
}

class SettingsTest : public ::testing::Test {
  protected:
    bool Flag(const std::string& value) {
        sys.iniFiles["cfg.ini"] = "[Settings]\nIsLogPrint=" + value + "\n";
        return ReadSettingFlag("cfg.ini", "IsLogPrint");
    }
    test::FakeSystem sys;
    test::ScopedServices services{{.system = &sys}};
};

TEST_F(SettingsTest, OnlyTrueInAnyCaseSwitchesOn) {
    for (const char* on : {"true", "TRUE", "True", "tRuE", " true ", "\"true\"", "'TRUE'"})
        EXPECT_TRUE(Flag(on)) << on;
    for (const char* off : {"true1", "yes", "1", "", "tru", "\"true", "true               x",
                            "\"true                \""})
        EXPECT_FALSE(Flag(off)) << off;  // the last two are cut to 19 characters
    EXPECT_FALSE(ReadSettingFlag("absent.ini", "IsLogPrint"));
    EXPECT_FALSE(ReadSettingFlag("cfg.ini", "IsShowSubVer"));
}

TEST_F(SettingsTest, PathsComeFromTheExecutable) {
    sys.exePath = "dir" + kSep + "sub" + kSep + "FirmwareUpgrade.exe";
    EXPECT_EQ(GetExeDirectory(), "dir" + kSep + "sub");
    EXPECT_EQ(SettingsPath(), "dir" + kSep + "sub" + kSep + "LogConfig.ini");
    EXPECT_EQ(GetAppName(), "FirmwareUpgrade");
    sys.exePath = "tool.v2.bin";  // no separator: the whole string stays
    EXPECT_EQ(GetExeDirectory(), "tool.v2.bin");
    EXPECT_EQ(GetAppName(), "tool.v2");
    sys.exePath.clear();  // unavailable: relative to the root
    EXPECT_EQ(SettingsPath(), kSep + "LogConfig.ini");
}

TEST_F(SettingsTest, OnlyASecondCopyIsRefused) {
    sys.exePath = "bin" + kSep + "FirmwareUpgrade.exe";
    for (InstanceResult r :
         {InstanceResult::AlreadyRunning, InstanceResult::Acquired, InstanceResult::NoGuard}) {
        sys.guardResult = r;
        int dialogRuns = 0;
        std::vector<std::string> boxes;
        CFirmwareUpgradeApp app([&] { ++dialogRuns; },
                                [&](const std::string& text, const std::string& caption) {
                                    boxes.push_back(text + "|" + caption);
                                });
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(sys.lastGuardName, "CFirmwareUpgradeApp_7D3E51A0-2B94-4C6F-8E17-05C9A3F2D684");
        EXPECT_EQ(app.HoldsGuard(), r == InstanceResult::Acquired);
        if (r == InstanceResult::AlreadyRunning) {
            EXPECT_EQ(dialogRuns, 0);
            EXPECT_EQ(boxes,
                      std::vector<std::string>{"The program is already running!|FirmwareUpgrade"});
        } else {
            EXPECT_EQ(dialogRuns, 1);
            EXPECT_TRUE(boxes.empty());
        }
    }
}

}  // namespace
}  // namespace fwu
