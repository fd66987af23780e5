#include "platform/linux/hid_path.h"

#include <cstddef>

#include "base/text.h"

namespace fwu {
namespace {

constexpr std::string_view kNodePrefix = "/dev/hidraw";

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

}  // namespace

std::string BuildHidrawPath(std::string_view node, std::uint16_t vid, std::uint16_t pid) {
    return std::string(node) + Format("#vid_%04x&pid_%04x", vid, pid);
}

std::optional<HidrawPath> ParseHidrawPath(std::string_view path) {
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
    return HidrawPath{std::string(node), *vid, *pid};
}

std::optional<VidPid> VidPidFromSyspath(std::string_view syspath) {
    // Walk the components from the end: the HID device is the nearest
    // ancestor of the hidraw node named "BBBB:VVVV:PPPP.NNNN".
    std::size_t end = syspath.size();
    while (end > 0) {
        const std::size_t slash = syspath.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view part = syspath.substr(begin, end - begin);
        if (part.size() == 19 && part[4] == ':' && part[9] == ':' && part[14] == '.' &&
            ParseHex4(part.substr(0, 4)) && ParseHex4(part.substr(15, 4))) {
            const auto vid = ParseHex4(part.substr(5, 4));
            const auto pid = ParseHex4(part.substr(10, 4));
            if (vid && pid) return VidPid{*vid, *pid};
        }
        if (slash == std::string_view::npos) break;
        end = slash;
    }
    return std::nullopt;
}

bool HidrawNameLess(std::string_view a, std::string_view b) {
    const auto na = NumberSuffix(a);
    const auto nb = NumberSuffix(b);
    if (na && nb && *na != *nb) return *na < *nb;
    if (na.has_value() != nb.has_value()) return na.has_value();
    return a < b;
}

}  // namespace fwu
