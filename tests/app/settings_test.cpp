#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "app/ini.h"
#include "app/settings.h"
#include "tests/app/fake_system.h"

namespace fwu {
namespace {

const std::string kSep(1, kPathSeparator);

TEST(IniLookup, FindsValuesWithTheProfileReaderRules) {
    const std::string text =
        "\xEF\xBB\xBF; comment line\r\n"
        "[Other]\r\n"
        "IsLogPrint=wrong section\r\n"
        "  [ settings ]  \r\n"
        ";IsShowSubVer=commented\r\n"
        "  isLOGprint  =   true  \r\n"
        "Quoted=\"  spaced  \"\r\n"
        "Single='x'\r\n"
        "Unmatched=\"x'\r\n"
        "Lone=\"\r\n"
        "NoValue\r\n"
        "Empty=\r\n"
        "Eq=a=b\r\n";
    EXPECT_EQ(IniLookup(text, "Settings", "IsLogPrint", 20), "true");
    EXPECT_EQ(IniLookup(text, "SETTINGS", "islogprint", 20), "true");
    EXPECT_EQ(IniLookup(text, "Other", "IsLogPrint", 40), "wrong section");
    EXPECT_EQ(IniLookup(text, "Settings", "Quoted", 20), "  spaced  ");
    EXPECT_EQ(IniLookup(text, "Settings", "Single", 20), "x");
    EXPECT_EQ(IniLookup(text, "Settings", "Unmatched", 20), "\"x'");
    EXPECT_EQ(IniLookup(text, "Settings", "Lone", 20), "\"");
    EXPECT_EQ(IniLookup(text, "Settings", "Eq", 20), "a=b");
    // Missing and empty values, comments and keys of no section.
    EXPECT_EQ(IniLookup(text, "Settings", "IsShowSubVer", 20), "");
    EXPECT_EQ(IniLookup(text, "Settings", "NoValue", 20), "");
    EXPECT_EQ(IniLookup(text, "Settings", "Empty", 20), "");
    EXPECT_EQ(IniLookup(text, "Missing", "IsLogPrint", 20), "");
    EXPECT_EQ(IniLookup("IsLogPrint=true\n[Settings]\n", "Settings", "IsLogPrint", 20), "");
    EXPECT_EQ(IniLookup("", "Settings", "IsLogPrint", 20), "");
}

TEST(IniLookup, LimitsTheValueToCapacityMinusOneUnits) {
    const std::string text = "[S]\nk=abcdefghij\nz=\xE5\x8D\x87\xE7\xBA\xA7\nu=\xF0\x9F\x98\x80x\n";
    EXPECT_EQ(IniLookup(text, "S", "k", 5), "abcd");
    EXPECT_EQ(IniLookup(text, "S", "k", 1), "");
    EXPECT_EQ(IniLookup(text, "S", "k", 0), "");
    EXPECT_EQ(IniLookup(text, "S", "k", 11), "abcdefghij");
    // Chinese counts as one unit per character; a surrogate pair is never split.
    EXPECT_EQ(IniLookup(text, "S", "z", 2), "\xE5\x8D\x87");
    EXPECT_EQ(IniLookup(text, "S", "u", 2), "");
    EXPECT_EQ(IniLookup(text, "S", "u", 3), "\xF0\x9F\x98\x80");
}

TEST(IniLookup, FirstSectionOfANameCounts) {
    const std::string text = "[Settings]\nA=1\n[x]\n[Settings]\nA=2\nB=3\n";
    EXPECT_EQ(IniLookup(text, "Settings", "A", 20), "1");
    EXPECT_EQ(IniLookup(text, "Settings", "B", 20), "");
}

class SettingsTest : public ::testing::Test {
  protected:
    bool Flag(const std::string& value) {
        sys.fake.iniFiles["cfg.ini"] = "[Settings]\nIsLogPrint=" + value + "\n";
        return ReadSettingFlag("cfg.ini", "IsLogPrint");
    }
    test::ScopedFakeSystem sys;
};

TEST_F(SettingsTest, OnlyTrueInAnyCaseSwitchesOn) {
    for (const char* on : {"true", "TRUE", "True", "tRuE", " true ", "\"true\"", "'TRUE'"})
        EXPECT_TRUE(Flag(on)) << on;
    for (const char* off : {"true1", "yes", "1", "", "on", "tru", "t rue", "\"true", "truee"})
        EXPECT_FALSE(Flag(off)) << off;
}

TEST_F(SettingsTest, ValuesBeyondNineteenCharactersNeverMatch) {
    // The first 19 characters arrive; "true" followed by padding cannot match.
    EXPECT_FALSE(Flag("true               x"));
    EXPECT_FALSE(Flag(std::string(19, 'a') + "true"));
    // A quoted value whose blanks keep it long is cut, not trimmed.
    EXPECT_FALSE(Flag("\"true                \""));
}

TEST_F(SettingsTest, MissingFileSectionOrKeyIsOff) {
    EXPECT_FALSE(ReadSettingFlag("absent.ini", "IsLogPrint"));
    sys.fake.iniFiles["cfg.ini"] = "[Other]\nIsLogPrint=true\n";
    EXPECT_FALSE(ReadSettingFlag("cfg.ini", "IsLogPrint"));
    sys.fake.iniFiles["cfg.ini"] = "[Settings]\nIsShowSubVer=true\n";
    EXPECT_FALSE(ReadSettingFlag("cfg.ini", "IsLogPrint"));
    EXPECT_TRUE(ReadSettingFlag("cfg.ini", "isshowsubver"));
}

TEST_F(SettingsTest, PathsComeFromTheExecutable) {
    sys.fake.exePath = "dir" + kSep + "sub" + kSep + "FirmwareUpgrade.exe";
    EXPECT_EQ(GetExeDirectory(), "dir" + kSep + "sub");
    EXPECT_EQ(SettingsPath(), "dir" + kSep + "sub" + kSep + "LogConfig.ini");
    EXPECT_EQ(GetAppName(), "FirmwareUpgrade");

    sys.fake.exePath = "tool.v2.bin";  // no separator: the whole string stays
    EXPECT_EQ(GetExeDirectory(), "tool.v2.bin");
    EXPECT_EQ(GetAppName(), "tool.v2");

    sys.fake.exePath = kSep + "FirmwareUpgrade";
    EXPECT_EQ(GetExeDirectory(), "");
    EXPECT_EQ(GetAppName(), "FirmwareUpgrade");

    sys.fake.exePath.clear();  // unavailable: relative to the root
    EXPECT_EQ(GetExeDirectory(), "");
    EXPECT_EQ(SettingsPath(), kSep + "LogConfig.ini");
}

struct AppRecorder {
    int dialogRuns = 0;
    std::vector<std::pair<std::string, std::string>> boxes;
    CFirmwareUpgradeApp Make() {
        return CFirmwareUpgradeApp([this] { ++dialogRuns; },
                                   [this](const std::string& text, const std::string& caption) {
                                       boxes.emplace_back(text, caption);
                                   });
    }
};

TEST_F(SettingsTest, SecondCopyShowsOneBoxAndNeverRunsTheDialog) {
    sys.fake.exePath = "bin" + kSep + "FirmwareUpgrade.exe";
    sys.fake.guardResult = InstanceResult::AlreadyRunning;
    AppRecorder rec;
    CFirmwareUpgradeApp app = rec.Make();
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(sys.fake.lastGuardName, "CFirmwareUpgradeApp_7D3E51A0-2B94-4C6F-8E17-05C9A3F2D684");
    EXPECT_EQ(rec.dialogRuns, 0);
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].first, "The program is already running!");
    EXPECT_EQ(rec.boxes[0].second, "FirmwareUpgrade");
    EXPECT_FALSE(app.HoldsGuard());
}

TEST_F(SettingsTest, FirstCopyOrNoGuardRunsTheDialog) {
    for (InstanceResult r : {InstanceResult::Acquired, InstanceResult::NoGuard}) {
        sys.fake.guardResult = r;
        AppRecorder rec;
        CFirmwareUpgradeApp app = rec.Make();
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(rec.dialogRuns, 1);
        EXPECT_TRUE(rec.boxes.empty());
        EXPECT_EQ(app.HoldsGuard(), r == InstanceResult::Acquired);
    }
}

}  // namespace
}  // namespace fwu
