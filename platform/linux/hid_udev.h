// The hidraw path form (hid_path.h) of a udev device, shared by enumeration
// and hot-plug so that an arrival and the later removal of one interface
// carry exactly the same path.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct udev_device;

namespace fwu {

// "" when the device has no node. The identifiers and the USB port come from
// the sysfs path (readable for removed devices too); 0/0 when it does not
// name the identifiers, no port part when the device is not on a USB port.
std::string HidrawPathOf(udev_device* device);

// The serial number of the USB device the character device `rdev` (a hidraw
// node) belongs to, as the kernel read it at enumeration (sysfs "serial");
// "" when it has none, or when that USB device is not `vid`:`pid` (non-zero),
// i.e. the node now belongs to another device.
std::string UsbSerialOfNode(dev_t rdev, std::uint16_t vid, std::uint16_t pid);

}  // namespace fwu
