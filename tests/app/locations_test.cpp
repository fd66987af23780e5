#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/locations.h"
#include "app/settings.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

// A path written with '/' and a leading '/' for the root, in this platform's
// form ("C:\..." on Windows).
std::string P(std::string path) {
    if (kPathSeparator == '/') return path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path.starts_with('\\') ? "C:" + path : path;
}

#ifdef _WIN32
const char* const kConfigVar = "APPDATA";
const char* const kStateVar = "LOCALAPPDATA";
#else
const char* const kConfigVar = "XDG_CONFIG_HOME";
const char* const kStateVar = "XDG_STATE_HOME";
#endif

const std::string kExeDir = "/opt/fw/bin";
const std::string kBeside = "/opt/fw/bin/LogConfig.ini";
const std::string kUserIni = "/u/cfg/FirmwareUpgrade/LogConfig.ini";
const std::string kUserState = "/u/state/FirmwareUpgrade";

// An installed copy whose user has both per-user folders set; each test
// changes what it is about.
class LocationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sys.exePath = P(kExeDir + "/FirmwareUpgrade");
        sys.installed = true;
        Env(kConfigVar, "/u/cfg");
        Env(kStateVar, "/u/state/");
    }
    void Env(const char* name, const std::string& value) { sys.environment[name] = P(value); }
    void File(const std::string& path) { sys.iniFiles[P(path)] = "[Settings]\n"; }
    // The settings search order, the settings file chosen and the log folder.
    void Expect(const std::vector<std::string>& search, const std::string& settings,
                const std::optional<std::string>& log) {
        std::vector<std::string> expected;
        for (const std::string& path : search) expected.push_back(P(path));
        EXPECT_EQ(SettingsSearchPaths(), expected);
        EXPECT_EQ(SettingsPath(), P(settings));
        EXPECT_EQ(LogDirectory(), log ? std::optional<std::string>(P(*log)) : std::nullopt);
    }
    test::FakeSystem sys;
    test::ScopedServices services{{.system = &sys}};
};

TEST_F(LocationsTest, APortableCopyKeepsBothBesideTheExecutable) {
    sys.installed = false;
    sys.home = P("/home/u");
    File(kUserIni);
    Expect({kBeside}, kBeside, kExeDir);
    SetLogDirectoryOverride(P("/tmp/logs"));
    Expect({kBeside}, kBeside, "/tmp/logs");
}

TEST_F(LocationsTest, AnInstalledCopyLooksInTheUsersFolderFirst) {
    Expect({kUserIni, kBeside}, kUserIni, kUserState);  // no file: the user's is named
    File(kBeside);                                      // an administrator's
    Expect({kUserIni, kBeside}, kBeside, kUserState);
    File(kUserIni);
    Expect({kUserIni, kBeside}, kUserIni, kUserState);
    SetLogDirectoryOverride(P("/tmp/logs/"));
    Expect({kUserIni, kBeside}, kUserIni, "/tmp/logs");
}

TEST_F(LocationsTest, FoldersOfAnotherUserOrRelativeOnesAreNotUsed) {
    sys.othersFolders = {P("/u")};  // sudo with another user's folders
    Expect({kBeside}, kBeside, std::nullopt);
    SetLogDirectoryOverride(P("/tmp/logs"));
    Expect({kBeside}, kBeside, "/tmp/logs");
    SetLogDirectoryOverride({});
    sys.othersFolders.clear();
    sys.environment = {{kConfigVar, "cfg"}, {kStateVar, "state"}};
    Expect({kBeside}, kBeside, std::nullopt);
}

#ifndef _WIN32
TEST_F(LocationsTest, WithoutTheXdgVariablesTheHomeDecides) {
    sys.environment = {{kStateVar, ""}};
    sys.home = "/home/u/";
    Expect({"/home/u/.config/FirmwareUpgrade/LogConfig.ini", kBeside},
           "/home/u/.config/FirmwareUpgrade/LogConfig.ini", "/home/u/.local/state/FirmwareUpgrade");
    sys.othersFolders = {"/home/u"};
    Expect({kBeside}, kBeside, std::nullopt);
    sys.home.clear();
    sys.othersFolders.clear();
    Expect({kBeside}, kBeside, std::nullopt);
}
#endif

TEST_F(LocationsTest, TheFirstSettingsFileFoundDecidesEverySwitch) {
    sys.iniFiles[P(kBeside)] = "[Settings]\nIsShowSubVer=true\n";
    sys.iniFiles[P(kUserIni)] = "[Settings]\nIsLogPrint=true\n";
    EXPECT_TRUE(ReadSettingFlag(SettingsPath(), kKeyLogPrint));
    EXPECT_FALSE(ReadSettingFlag(SettingsPath(), kKeyShowSubVer));
    sys.installed = false;
    EXPECT_FALSE(ReadSettingFlag(SettingsPath(), kKeyLogPrint));
    EXPECT_TRUE(ReadSettingFlag(SettingsPath(), kKeyShowSubVer));
}

}  // namespace
}  // namespace fwu
