#include "platform/linux/hid_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace fwu {
namespace {

TEST(HidrawPath, BuildsLowerCaseAndParsesEitherCase) {
    EXPECT_EQ(BuildHidrawPath("/dev/hidraw3", 0x3A5C, 0x0001), "/dev/hidraw3#vid_3a5c&pid_0001");
    for (const auto& [node, vid, pid] :
         {std::tuple{"/dev/hidraw0", 0x0000, 0x0000}, std::tuple{"/dev/hidraw17", 0xFFFF, 0x0180},
          std::tuple{"/dev/hidraw3", 0x045E, 0xABCD}}) {
        const auto parsed = ParseHidrawPath(BuildHidrawPath(node, static_cast<std::uint16_t>(vid),
                                                            static_cast<std::uint16_t>(pid)));
        ASSERT_TRUE(parsed.has_value()) << node;
        EXPECT_EQ(parsed->node, node);
        EXPECT_EQ(parsed->vid, vid);
        EXPECT_EQ(parsed->pid, pid);
    }
    const auto upper = ParseHidrawPath("/dev/hidraw2#VID_3A5C&PID_00FF");
    ASSERT_TRUE(upper.has_value());
    EXPECT_EQ(upper->vid, 0x3A5C);
    EXPECT_EQ(upper->pid, 0x00FF);
    EXPECT_EQ(upper->port, "");
}

TEST(HidrawPath, CarriesTheUsbPortAfterTheIdentifiers) {
    const std::string path = BuildHidrawPath("/dev/hidraw3", 0x3A5C, 0x0001, "10-1.4");
    EXPECT_EQ(path, "/dev/hidraw3#vid_3a5c&pid_0001#port_10-1.4");
    const auto parsed = ParseHidrawPath(path);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->node, "/dev/hidraw3");
    EXPECT_EQ(parsed->pid, 0x0001);
    EXPECT_EQ(parsed->port, "10-1.4");
    EXPECT_EQ(ParseHidrawPath("/dev/hidraw3#VID_3A5C&PID_0001#PORT_2-1")->port, "2-1");
}

TEST(HidrawPath, RejectsAnythingButAHidrawNode) {
    for (const char* bad : {
             "",
             "/dev/hidraw3",
             "#vid_3a5c&pid_0001",
             "/dev/hidraw#vid_3a5c&pid_0001",
             "/dev/hidraw3x#vid_3a5c&pid_0001",
             "/etc/passwd#vid_3a5c&pid_0001",
             "/dev/hidraw3/../../etc/passwd#vid_3a5c&pid_0001",
             "/dev/sda#vid_3a5c&pid_0001",
             "/dev/hidraw3#vid_3a5g&pid_0001",
             "/dev/hidraw3#vid_3a5c&pid_001",
             "/dev/hidraw3#pid_0001&vid_3a5c",
             "\\\\?\\hid#vid_3a5c&pid_0001#7&1&0000",
             "/dev/hidraw3#vid_3a5c&pid_0001#port_",
             "/dev/hidraw3#vid_3a5c&pid_0001#port_1-",
             "/dev/hidraw3#vid_3a5c&pid_0001#port_0-1",
             "/dev/hidraw3#vid_3a5c&pid_0001#port_1-2..3",
             "/dev/hidraw3#vid_3a5c&pid_0001#port_1-2/../../x",
             "/dev/hidraw3#vid_3a5c&pid_0001#port_1-1.1.1.1.1.1.1.1",
             "/dev/hidraw3#port_1-2#vid_3a5c&pid_0001",
         }) {
        EXPECT_FALSE(ParseHidrawPath(bad).has_value()) << bad;
    }
}

TEST(HidrawSyspath, IdentifiersComeFromTheParentHidDevice) {
    const struct Case {
        const char* syspath;
        std::optional<std::pair<int, int>> ids;
    } cases[] = {
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:3A5C:0180.000B/hidraw/hidraw4",
         std::pair{0x3A5C, 0x0180}},
        {"/sys/devices/virtual/misc/uhid/0005:045E:0B13.0001/hidraw/hidraw0",
         std::pair{0x045E, 0x0B13}},
        {"", std::nullopt},
        {"/sys/class/hidraw/hidraw0", std::nullopt},
        // The PCI address "0000:00:14.0" looks similar but is not four groups of four.
        {"/sys/devices/pci0000:00/0000:00:14.0/hidraw/hidraw0", std::nullopt},
        {"/sys/devices/0003:3A5C:01G0.000B/hidraw/hidraw4", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto ids = VidPidFromSyspath(c.syspath);
        ASSERT_EQ(ids.has_value(), c.ids.has_value()) << c.syspath;
        if (!ids) continue;
        EXPECT_EQ(ids->vid, c.ids->first) << c.syspath;
        EXPECT_EQ(ids->pid, c.ids->second) << c.syspath;
    }
}

TEST(HidrawSyspath, PortIsTheUsbDeviceOfTheInterfaceHoldingTheHidDevice) {
    const struct Case {
        const char* syspath;
        const char* port;
    } cases[] = {
        // A root port, then hub chains.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:3A5C:0180.000B/hidraw/hidraw4",
         "1-2"},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/0003:3A5C:0001.0005/hidraw/"
         "hidraw3",
         "1-2.3"},
        {"/sys/devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1.4/2-1.4.2/2-1.4.2:1.1/"
         "0003:045E:028E.0010/hidraw/hidraw12",
         "2-1.4.2"},
        // Bus numbers above 9 and the virtual host controller of USB/IP.
        {"/sys/devices/pci0000:00/0000:03:00.0/usb12/12-3/12-3:1.0/0003:3A5C:1F40.0001/hidraw/"
         "hidraw0",
         "12-3"},
        {"/sys/devices/platform/vhci_hcd.0/usb3/3-1/3-1:1.0/0003:3A5C:1F40.0002/hidraw/hidraw1",
         "3-1"},
        // Bluetooth, even behind a USB adapter; uhid (even claiming the USB bus); no HID device.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/bluetooth/hci0/hci0:256/"
         "0005:054C:09CC.0004/hidraw/hidraw2",
         ""},
        {"/sys/devices/virtual/misc/uhid/0003:045E:0B13.0001/hidraw/hidraw0", ""},
        {"/sys/devices/virtual/misc/uhid/0005:045E:0B13.0001/hidraw/hidraw0", ""},
        {"0003:3A5C:0001.0005/hidraw/hidraw3", ""},
        {"/sys/class/hidraw/hidraw0", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(UsbPortFromSyspath(c.syspath), c.port) << c.syspath;
}

TEST(HidrawOrder, SortsNodesByNumber) {
    std::vector<std::string> names = {"hidraw10", "hidraw2", "hidraw0", "hidraw1", "other"};
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return HidrawNameLess(a, b); });
    EXPECT_EQ(names,
              (std::vector<std::string>{"hidraw0", "hidraw1", "hidraw2", "hidraw10", "other"}));
}

}  // namespace
}  // namespace fwu
