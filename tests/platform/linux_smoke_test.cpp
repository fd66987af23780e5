// The real Linux backends on whatever machine runs the tests: nothing here
// needs a controller, and every check holds with no HID device present.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/linux/hid_path.h"
#include "platform/platform.h"

namespace fwu {
namespace {

TEST(LinuxHidBackend, EnumeratesOpenablePathsInTheCoreForm) {
    auto backend = CreatePlatformHidBackend();
    ASSERT_NE(backend, nullptr);
    const auto paths = backend->EnumeratePaths();
    for (const std::string& path : paths) {
        const auto parsed = ParseHidrawPath(path);
        ASSERT_TRUE(parsed.has_value()) << path;
        EXPECT_NE(path.find("vid_"), std::string::npos);
        EXPECT_NE(path.find("pid_"), std::string::npos);
    }
    EXPECT_EQ(backend->EnumeratePaths(), paths);  // stable order
}

TEST(LinuxHidBackend, OpensOnlyHidrawNodes) {
    auto backend = CreatePlatformHidBackend();
    EXPECT_EQ(backend->Open(""), nullptr);
    EXPECT_EQ(backend->Open("/dev/null"), nullptr);
    EXPECT_EQ(backend->Open("/dev/null#vid_0000&pid_0000"), nullptr);
    EXPECT_EQ(backend->Open("/dev/hidraw999999#vid_3a5c&pid_0001"), nullptr);
}

TEST(LinuxHotplug, StartsAndStopsPromptly) {
    auto hotplug = CreatePlatformHotplug();
    std::atomic<int> events{0};
    const bool started = hotplug->Start([&](HotplugEvent, const std::string&) { ++events; });
    if (started) {
        EXPECT_FALSE(hotplug->Start([](HotplugEvent, const std::string&) {}));  // already running
    }
    hotplug->Stop();
    hotplug->Stop();  // a second stop is harmless
    // Started again after a stop (a container may have no udev netlink; then
    // both attempts fail alike).
    EXPECT_EQ(hotplug->Start([](HotplugEvent, const std::string&) {}), started);
    hotplug.reset();  // the destructor stops the thread
}

TEST(LinuxRumble, IndexesBeyondTheConnectedControllersAreRefused) {
    auto rumble = CreatePlatformRumble();
    EXPECT_FALSE(rumble->IsConnected(4));
    EXPECT_FALSE(rumble->SetState(4, 1000, 1000));
    unsigned connected = 0;
    while (connected < 4 && rumble->IsConnected(connected)) ++connected;
    if (connected < 4) {
        EXPECT_FALSE(rumble->SetState(connected, 256, 65024));
    }
}

}  // namespace
}  // namespace fwu
