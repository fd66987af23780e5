// The real system services behind an installed copy's folders: the marker
// near the executable, the environment, and who owns a folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/platform.h"
#include "tests/support/files.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#endif

namespace fwu {
namespace {

namespace fs = std::filesystem;

// The test program runs from its build folder: portable, until the marker
// that `cmake --install` puts near the programs appears.
TEST(PlatformUserFolders, TheMarkerMakesACopyInstalled) {
    auto system = CreatePlatformSystem();
    EXPECT_FALSE(system->IsInstalledCopy());
    const fs::path exe = test::Utf8Path(system->ExecutablePath());
    const fs::path marker = (exe.parent_path() / FWU_INSTALLED_MARKER).lexically_normal();
    ASSERT_FALSE(fs::exists(marker)) << marker;
    fs::path created;  // the highest folder made for it, removed afterwards
    for (fs::path p = marker.parent_path(); !fs::exists(p); p = p.parent_path()) created = p;
    fs::create_directories(marker.parent_path());
    std::ofstream(marker) << "installed\n";
    EXPECT_TRUE(system->IsInstalledCopy());
    std::error_code ec;
    fs::remove(marker, ec);
    if (!created.empty()) fs::remove_all(created, ec);
    EXPECT_FALSE(system->IsInstalledCopy());
}

TEST(PlatformUserFolders, EnvironmentIsReadAsUtf8) {
    auto system = CreatePlatformSystem();
    const std::string value = "C:\\\xE5\x8D\x87\xE7\xBA\xA7";  // a Chinese folder name
#ifdef _WIN32
    ::SetEnvironmentVariableW(L"FWU_TEST_FOLDER", L"C:\\\x5347\x7EA7");
#else
    ::setenv("FWU_TEST_FOLDER", value.c_str(), 1);
#endif
    EXPECT_EQ(system->Environment("FWU_TEST_FOLDER"), value);
#ifdef _WIN32
    ::SetEnvironmentVariableW(L"FWU_TEST_FOLDER", nullptr);
#else
    ::unsetenv("FWU_TEST_FOLDER");
#endif
    EXPECT_EQ(system->Environment("FWU_TEST_FOLDER"), std::nullopt);
}

#ifndef _WIN32
// The nearest existing folder decides; a file in the way refuses.
TEST(PlatformUserFolders, OwnershipIsTheNearestExistingFolders) {
    auto system = CreatePlatformSystem();
    test::ScratchDir mine{"fwu_own_"};
    std::ofstream(mine.path() / "file") << "x";
    EXPECT_TRUE(system->OwnedByEffectiveUser(mine.Utf8("a/b//c")));
    EXPECT_FALSE(system->OwnedByEffectiveUser(mine.Utf8("file/a")));
    if (::geteuid() != 0) GTEST_SKIP() << "another user's folder needs root to make";
    test::ScratchDir others{"fwu_others_"};
    ASSERT_EQ(::chown(others.path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(system->OwnedByEffectiveUser(others.Utf8("state/FirmwareUpgrade")));
    EXPECT_FALSE(system->OwnedByEffectiveUser(others.path().string()));
}
#endif

}  // namespace
}  // namespace fwu
