// The hidraw path form (hid_path.h) of a udev device, shared by enumeration
// and hot-plug so that an arrival and the later removal of one interface
// carry exactly the same path.
#pragma once

#include <string>

struct udev_device;

namespace fwu {

// "" when the device has no node. The identifiers and the USB port come from
// the sysfs path (readable for removed devices too); 0/0 when it does not
// name the identifiers, no port part when the device is not on a USB port.
std::string HidrawPathOf(udev_device* device);

}  // namespace fwu
