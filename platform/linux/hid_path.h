// The form in which a hidraw interface is handed to the core:
//   "/dev/hidraw3#vid_3a5c&pid_0001"
// the device node, then '#', then the vendor and product identifiers in
// lower-case hexadecimal (the core classifies devices by "vid_"/"pid_" in
// their path). Pure code, tested on every build.
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
};

std::string BuildHidrawPath(std::string_view node, std::uint16_t vid, std::uint16_t pid);

// The node and identifiers of a path in the form above (letters in either
// case); nullopt for anything else, including nodes outside "/dev/hidrawN",
// so that no other file is ever opened through the HID backend.
std::optional<HidrawPath> ParseHidrawPath(std::string_view path);

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
