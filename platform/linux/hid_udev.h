// The hidraw path form (hid_path.h) of a udev device, shared by enumeration
// and hot-plug so that an arrival and the later removal of one interface
// carry exactly the same path.
#pragma once

#include <string>

struct udev_device;

namespace fwu {

// "" when the device has no node. The identifiers come from the sysfs path
// (readable for removed devices too); 0/0 when it does not name them.
std::string HidrawPathOf(udev_device* device);

}  // namespace fwu
