// The form in which a hidraw interface is handed to the core:
//   "/dev/hidraw3#vid_3a5c&pid_0001#port_1-2.3"
// the device node, then '#', then the vendor and product identifiers in
// lower-case hexadecimal (the core classifies devices by "vid_"/"pid_" in
// their path), then, for an interface of a USB device, '#port_' and the USB
// port the device is plugged into (its sysfs name: bus, '-', the port on
// each hub from the root on, joined by '.'). The port travels inside the path
// so that anyone holding a path can tell where it is plugged in, also after
// the device has gone; an arrival and its removal carry the same path. Pure
// code, tested on every build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwu {

struct HidrawPath {
    std::string node;  // "/dev/hidrawN"
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string port;  // "1-2.3"; "" when the interface is not on a USB port
};

// `port` must be "" or a USB port name (IsUsbPortName).
std::string BuildHidrawPath(std::string_view node, std::uint16_t vid, std::uint16_t pid,
                            std::string_view port = {});

// The node, identifiers and port of a path in the form above (letters in
// either case); nullopt for anything else, including nodes outside
// "/dev/hidrawN" and malformed ports, so that no other file is ever opened
// through the HID backend.
std::optional<HidrawPath> ParseHidrawPath(std::string_view path);

// A USB device's sysfs name: bus number, '-', then one to seven port numbers
// joined by '.' ("1-2", "10-1.4.2"); decimal numbers from 1 without leading
// zeros.
bool IsUsbPortName(std::string_view name);

// The USB port of the device a hidraw node belongs to, from the node's sysfs
// path: the HID device "0003:VVVV:PPPP.NNNN" (bus type USB) sits in a USB
// interface directory "<port>:<configuration>.<interface>". "" for anything
// else (Bluetooth, uhid and other virtual devices). Works for removed
// devices too.
std::string UsbPortFromSyspath(std::string_view syspath);

// Vendor and product identifiers from a hidraw sysfs path: its parent HID
// device directory is named "BBBB:VVVV:PPPP.NNNN" (bus, vendor, product,
// instance; hexadecimal). Works for removed devices too, whose sysfs entries
// are already gone.
struct VidPid {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
};
std::optional<VidPid> VidPidFromSyspath(std::string_view syspath);

// Order of hidraw nodes by number ("hidraw2" before "hidraw10"); names
// without a number sort after numbered ones, by text.
bool HidrawNameLess(std::string_view a, std::string_view b);

}  // namespace fwu
