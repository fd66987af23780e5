#include "platform/linux/hid_udev.h"

#include <libudev.h>

#include "platform/linux/hid_path.h"

namespace fwu {

std::string HidrawPathOf(udev_device* device) {
    if (device == nullptr) return {};
    const char* node = udev_device_get_devnode(device);
    if (node == nullptr || *node == '\0') return {};
    const char* syspath = udev_device_get_syspath(device);
    const std::string_view sys = syspath != nullptr ? syspath : "";
    const VidPid vp = VidPidFromSyspath(sys).value_or(VidPid{});
    return BuildHidrawPath(node, vp.vid, vp.pid, UsbPortFromSyspath(sys));
}

}  // namespace fwu
