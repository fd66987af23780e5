// The real platform backends on whatever machine runs the tests (Wine for the
// Windows build): nothing here needs a controller, and every check holds with
// no HID device present.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "base/pause.h"
#include "base/text.h"
#include "platform/platform.h"
#ifdef _WIN32
#include <windows.h>

#include <setupapi.h>

#include <chrono>
#include <thread>

#include "platform/windows/usb_location.h"
#else
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/hid_path.h"
#endif

namespace fwu {
namespace {

TEST(PlatformHidBackend, EnumeratesPathsInTheCoreForm) {
    auto backend = CreatePlatformHidBackend();
    ASSERT_NE(backend, nullptr);
    const auto paths = backend->EnumeratePaths();
    for (const std::string& path : paths) {
        EXPECT_EQ(path, AsciiLower(path));
#ifndef _WIN32
        EXPECT_TRUE(ParseHidrawPath(path).has_value()) << path;
#endif
    }
    EXPECT_EQ(backend->EnumeratePaths(), paths);  // stable order
}

TEST(PlatformHidBackend, MissingOrForeignPathsDoNotOpen) {
    auto backend = CreatePlatformHidBackend();
    EXPECT_EQ(backend->Open(""), nullptr);
    EXPECT_EQ(backend->SerialNumber(""), "");
#ifdef _WIN32
    const char* missing =
        "\\\\?\\hid#vid_3a5c&pid_0001#0&0&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(backend->Open(missing), nullptr);
    EXPECT_EQ(backend->SerialNumber(missing), "");
#else
    EXPECT_EQ(backend->Open("/dev/null"), nullptr);
    EXPECT_EQ(backend->Open("/dev/null#vid_0000&pid_0000"), nullptr);
    EXPECT_EQ(backend->Open("/dev/hidraw999999#vid_3a5c&pid_0001"), nullptr);
    // Only a hidraw node's USB device is asked for its serial number.
    EXPECT_EQ(backend->SerialNumber("/dev/null#vid_0000&pid_0000"), "");
    EXPECT_EQ(backend->SerialNumber("/dev/hidraw999999#vid_3a5c&pid_0001"), "");
#endif
}

TEST(PlatformHidBackend, LocationIsAUsbPortOrEmpty) {
    auto backend = CreatePlatformHidBackend();
    for (const std::string& path : backend->EnumeratePaths()) {
        const std::string location = backend->Location(path);
        if (location.empty()) continue;
#ifdef _WIN32
        EXPECT_EQ(ClassifyLocationPaths({location}).kind, UsbNodeKind::Device) << path;
#else
        EXPECT_TRUE(IsUsbPortName(location)) << path;
#endif
    }
#ifdef _WIN32
    EXPECT_EQ(backend->Location(
                  "\\\\?\\hid#vid_3a5c&pid_0001#0&0&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
              "");
    // The walk up the device tree from every device node the system has:
    // under Wine its own bus devices, none of which names a USB port.
    HDEVINFO all =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    int walked = 0;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(all, index, &info); ++index, ++walked) {
        const std::string location = UsbLocationOfDevNode(info.DevInst);
        if (!location.empty()) {
            EXPECT_EQ(ClassifyLocationPaths({location}).kind, UsbNodeKind::Device) << location;
        }
    }
    SetupDiDestroyDeviceInfoList(all);
    EXPECT_GT(walked, 0);
#else
    EXPECT_EQ(backend->Location("/dev/hidraw999999#vid_3a5c&pid_0001"), "");
#endif
}

TEST(PlatformHotplug, StartsAndStopsPromptly) {
    auto hotplug = CreatePlatformHotplug();
    std::atomic<int> events{0};
    const bool started = hotplug->Start([&](HotplugEvent, const std::string&) { ++events; });
    if (started) {
        EXPECT_FALSE(hotplug->Start([](HotplugEvent, const std::string&) {}));  // already running
    }
    hotplug->Stop();
    hotplug->Stop();  // a second stop is harmless
    // Started again after a stop (a container may have no udev netlink, Wine no notifications; then
    // both attempts fail alike).
    EXPECT_EQ(hotplug->Start([](HotplugEvent, const std::string&) {}), started);
    hotplug.reset();  // the destructor stops the thread
}

TEST(PlatformRumble, IndexesBeyondTheConnectedControllersAreRefused) {
    auto rumble = CreatePlatformRumble();
    EXPECT_FALSE(rumble->IsConnected(4));
    EXPECT_FALSE(rumble->SetState(4, 1000, 1000));
    unsigned connected = 0;
    while (connected < 4 && rumble->IsConnected(connected)) ++connected;
    if (connected < 4) {
        EXPECT_FALSE(rumble->SetState(connected, 256, 65024));
    }
}

// Linux ties rumble to the HID interface's USB device: an interface that is
// not there has no game controller, and none of the others may stand in.
// XInput gives no such link.
TEST(PlatformRumble, AHidInterfaceIsTiedToItsOwnGameControllerWhereThePlatformCan) {
    auto rumble = CreatePlatformRumble();
#ifdef _WIN32
    EXPECT_EQ(rumble->UserIndexFor("\\\\?\\hid#vid_3a5c&pid_0001#x"), IRumble::kNoLink);
#else
    EXPECT_EQ(rumble->UserIndexFor("/dev/hidraw4095#vid_3a5c&pid_0001"), IRumble::kNone);
    EXPECT_EQ(rumble->UserIndexFor("not a hidraw path"), IRumble::kNone);
    EXPECT_FALSE(rumble->SetState(0, 256, 65024));
#endif
}

#ifdef _WIN32
TEST(PlatformHidBackend, StopRequestCancelsAWriteStalledInTheDriver) {
    // A named pipe that nobody reads stands in for a driver that stops taking
    // reports: once its buffer is full a write stays pending. The worker's
    // stop request must end it (the window closes in about 100 ms), not the
    // write's own time-out of several seconds.
    const std::string name = "\\\\.\\pipe\\fwu_stall_" + std::to_string(GetCurrentProcessId());
    const std::wstring wide(name.begin(), name.end());
    HANDLE server = CreateNamedPipeW(wide.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    auto device = CreatePlatformHidBackend()->Open(name);
    ASSERT_NE(device, nullptr);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    bool written = true;
    {
        CancelScope scope(stop);
        std::uint8_t report[65] = {};
        for (int i = 0; i < 100000 && written; ++i) written = device->Write(report, sizeof report);
    }
    stopper.join();
    EXPECT_FALSE(written);
    EXPECT_EQ(device->LastError(), static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
    device.reset();
    CloseHandle(server);
}
#endif

#ifndef _WIN32
TEST(PlatformSystem, SettingsAreReadOnlyFromARegularFile) {
    // A FIFO under the settings file's name (nobody writes to it) would
    // block an ordinary open for ever.
    const auto dir =
        std::filesystem::temp_directory_path() / ("fwu_settings_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "LogConfig.ini").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto system = CreatePlatformSystem();
    EXPECT_EQ(system->ReadIniValue(fifo, "Settings", "IsLogPrint", 20), "");
    std::filesystem::remove(fifo);
    { std::ofstream(fifo) << "[Settings]\nIsLogPrint=true\n"; }
    EXPECT_EQ(system->ReadIniValue(fifo, "Settings", "IsLogPrint", 20), "true");
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
}  // namespace fwu
