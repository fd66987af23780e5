#include "platform/linux/hid_path.h"

#include <cstddef>
#include <utility>

#include "base/text.h"

namespace fwu {
namespace {

constexpr std::string_view kNodePrefix = "/dev/hidraw";
constexpr std::string_view kPortMarker = "#port_";
constexpr std::uint16_t kBusUsb = 0x0003;  // BUS_USB, the bus field of a HID device's name

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly four hexadecimal digits.
std::optional<std::uint16_t> ParseHex4(std::string_view s) {
    if (s.size() != 4) return std::nullopt;
    unsigned value = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return static_cast<std::uint16_t>(value);
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Numeric suffix of a name such as "hidraw12"; nullopt when it has none or
// it is too long to be a node number.
std::optional<unsigned long> NumberSuffix(std::string_view name) {
    std::size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
    const std::string_view digits = name.substr(start);
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    unsigned long value = 0;
    for (char c : digits) value = value * 10 + static_cast<unsigned long>(c - '0');
    return value;
}

// A decimal number from 1, at most three digits, without a leading zero.
bool IsSmallNumber(std::string_view s) {
    return !s.empty() && s.size() <= 3 && s.front() != '0' && AllDigits(s);
}

// The HID device directory "BBBB:VVVV:PPPP.NNNN" nearest to the end of a sysfs
// path, and the directory it sits in ("" when it is the first component).
struct HidComponent {
    std::string_view name;
    std::string_view parent;
};
std::optional<HidComponent> FindHidComponent(std::string_view syspath) {
    std::size_t end = syspath.size();
    while (end > 0) {
        const std::size_t slash = syspath.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view part = syspath.substr(begin, end - begin);
        if (part.size() == 19 && part[4] == ':' && part[9] == ':' && part[14] == '.' &&
            ParseHex4(part.substr(0, 4)) && ParseHex4(part.substr(5, 4)) &&
            ParseHex4(part.substr(10, 4)) && ParseHex4(part.substr(15, 4))) {
            std::string_view parent;
            if (slash != std::string_view::npos && slash > 0) {
                const std::size_t before = syspath.rfind('/', slash - 1);
                const std::size_t from = before == std::string_view::npos ? 0 : before + 1;
                parent = syspath.substr(from, slash - from);
            }
            return HidComponent{part, parent};
        }
        if (slash == std::string_view::npos) break;
        end = slash;
    }
    return std::nullopt;
}

}  // namespace

std::string BuildHidrawPath(std::string_view node, std::uint16_t vid, std::uint16_t pid,
                            std::string_view port) {
    std::string path = std::string(node) + Format("#vid_%04x&pid_%04x", vid, pid);
    if (!port.empty()) {
        path += kPortMarker;
        path += port;
    }
    return path;
}

bool IsUsbPortName(std::string_view name) {
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || !IsSmallNumber(name.substr(0, dash))) return false;
    std::string_view ports = name.substr(dash + 1);
    for (int count = 1; count <= 7; ++count) {
        const std::size_t dot = ports.find('.');
        if (!IsSmallNumber(ports.substr(0, dot))) return false;
        if (dot == std::string_view::npos) return true;
        ports.remove_prefix(dot + 1);
    }
    return false;
}

std::optional<HidrawPath> ParseHidrawPath(std::string_view path) {
    // The port, when there is one, follows the last '#'.
    std::string port;
    if (const std::size_t last = path.rfind('#'); last != std::string_view::npos) {
        const std::string tail = AsciiLower(path.substr(last));
        if (tail.compare(0, kPortMarker.size(), kPortMarker) == 0) {
            port = tail.substr(kPortMarker.size());
            if (!IsUsbPortName(port)) return std::nullopt;
            path = path.substr(0, last);
        }
    }
    // "#vid_" + 4 + "&pid_" + 4
    constexpr std::size_t kSuffixSize = 18;
    if (path.size() <= kSuffixSize) return std::nullopt;
    const std::string_view node = path.substr(0, path.size() - kSuffixSize);
    const std::string suffix = AsciiLower(path.substr(path.size() - kSuffixSize));
    if (suffix.compare(0, 5, "#vid_") != 0 || suffix.compare(9, 5, "&pid_") != 0) {
        return std::nullopt;
    }
    if (node.substr(0, kNodePrefix.size()) != kNodePrefix ||
        !AllDigits(node.substr(kNodePrefix.size()))) {
        return std::nullopt;
    }
    const auto vid = ParseHex4(std::string_view(suffix).substr(5, 4));
    const auto pid = ParseHex4(std::string_view(suffix).substr(14, 4));
    if (!vid || !pid) return std::nullopt;
    return HidrawPath{std::string(node), *vid, *pid, std::move(port)};
}

std::optional<VidPid> VidPidFromSyspath(std::string_view syspath) {
    // The HID device is the nearest ancestor of the hidraw node named
    // "BBBB:VVVV:PPPP.NNNN".
    const auto hid = FindHidComponent(syspath);
    if (!hid) return std::nullopt;
    return VidPid{*ParseHex4(hid->name.substr(5, 4)), *ParseHex4(hid->name.substr(10, 4))};
}

std::string UsbPortFromSyspath(std::string_view syspath) {
    const auto hid = FindHidComponent(syspath);
    if (!hid || ParseHex4(hid->name.substr(0, 4)) != kBusUsb) return {};
    // The USB interface "<port>:<configuration>.<interface>".
    const std::string_view parent = hid->parent;
    const std::size_t colon = parent.find(':');
    if (colon == std::string_view::npos) return {};
    const std::string_view numbers = parent.substr(colon + 1);
    const std::size_t dot = numbers.find('.');
    if (dot == std::string_view::npos || !AllDigits(numbers.substr(0, dot)) ||
        !AllDigits(numbers.substr(dot + 1)))
        return {};
    const std::string_view port = parent.substr(0, colon);
    return IsUsbPortName(port) ? std::string(port) : std::string();
}

bool HidrawNameLess(std::string_view a, std::string_view b) {
    const auto na = NumberSuffix(a);
    const auto nb = NumberSuffix(b);
    if (na && nb && *na != *nb) return *na < *nb;
    if (na.has_value() != nb.has_value()) return na.has_value();
    return a < b;
}

}  // namespace fwu
