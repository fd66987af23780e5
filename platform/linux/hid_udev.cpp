#include "platform/linux/hid_udev.h"

#include <libudev.h>

#include <cstdlib>

#include "base/text.h"
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

namespace {

int HexAttribute(udev_device* device, const char* name) {
    const char* text = udev_device_get_sysattr_value(device, name);
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 16);
    return end == text ? -1 : static_cast<int>(value);
}

}  // namespace

std::string UsbSerialOfNode(dev_t rdev, std::uint16_t vid, std::uint16_t pid) {
    std::string serial;
    udev* context = udev_new();
    if (context == nullptr) return serial;
    udev_device* node = udev_device_new_from_devnum(context, 'c', rdev);
    // The parent belongs to `node` and is released with it.
    udev_device* usb =
        node != nullptr ? udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device")
                        : nullptr;
    const bool same =
        usb != nullptr && ((vid == 0 && pid == 0) || (HexAttribute(usb, "idVendor") == vid &&
                                                      HexAttribute(usb, "idProduct") == pid));
    if (same) {
        const char* text = udev_device_get_sysattr_value(usb, "serial");
        if (text != nullptr) serial = std::string(Trim(text));
    }
    if (node != nullptr) udev_device_unref(node);
    udev_unref(context);
    return serial;
}

}  // namespace fwu
