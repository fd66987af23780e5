#include "platform/windows/usb_location.h"

#include <string_view>

#include "base/text.h"

namespace fwu {
namespace {

// "NAME(digits)" exactly, NAME in upper case.
bool IsSegment(std::string_view segment, std::string_view name) {
    if (segment.size() < name.size() + 3 || segment.substr(0, name.size()) != name ||
        segment[name.size()] != '(' || segment.back() != ')')
        return false;
    const std::string_view digits =
        segment.substr(name.size() + 1, segment.size() - name.size() - 2);
    for (char c : digits)
        if (c < '0' || c > '9') return false;
    return true;
}

UsbNodeKind Classify(const std::string& path) {
    const std::string upper = AsciiUpper(path);
    bool port = false;  // a "USB(n)" segment before the last one
    std::size_t begin = 0;
    for (;;) {
        const std::size_t hash = upper.find('#', begin);
        const std::string_view segment = std::string_view(upper).substr(
            begin, hash == std::string::npos ? std::string::npos : hash - begin);
        if (hash == std::string::npos) {
            if (IsSegment(segment, "USB")) return UsbNodeKind::Device;
            if (port && IsSegment(segment, "USBMI")) return UsbNodeKind::Function;
            return UsbNodeKind::Other;
        }
        port = port || IsSegment(segment, "USB");
        begin = hash + 1;
    }
}

}  // namespace

UsbNodeLocation ClassifyLocationPaths(const std::vector<std::string>& paths) {
    UsbNodeLocation found;
    for (const std::string& path : paths) {
        const UsbNodeKind kind = Classify(path);
        if (kind == UsbNodeKind::Device) return {kind, path};
        if (kind == UsbNodeKind::Function && found.kind == UsbNodeKind::Other) found = {kind, path};
    }
    return found;
}

}  // namespace fwu
