#include "platform/linux/hid_descriptor.h"

#include <cstddef>
#include <vector>

namespace fwu {
namespace {

// Item prefix: bits 0-1 size code (3 means four bytes), bits 2-3 type, bits 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr unsigned kTypeMain = 0;
constexpr unsigned kTypeGlobal = 1;
constexpr unsigned kMainOutput = 0x9;
constexpr unsigned kGlobalReportId = 0x8;
constexpr unsigned kGlobalPush = 0xA;
constexpr unsigned kGlobalPop = 0xB;
// Deeper Push nesting than any real device uses; beyond it Push is ignored.
constexpr std::size_t kMaxPushDepth = 32;

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    ReportDescriptorInfo info;
    bool outputSeen = false;
    std::uint8_t currentId = 0;
    std::vector<std::uint8_t> pushed;

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == kLongItemPrefix) {
            // Long item: prefix, data size, tag, then the data.
            if (descriptor.size() - pos < 3) break;
            const std::size_t dataSize = descriptor[pos + 1];
            if (descriptor.size() - pos - 3 < dataSize) break;
            pos += 3 + dataSize;
            continue;
        }
        const unsigned sizeCode = prefix & 0x3u;
        const std::size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
        const unsigned type = (prefix >> 2) & 0x3u;
        const unsigned tag = (prefix >> 4) & 0xFu;
        if (descriptor.size() - pos - 1 < dataSize) break;
        const std::uint8_t* data = descriptor.data() + pos + 1;

        if (type == kTypeGlobal) {
            if (tag == kGlobalReportId && dataSize >= 1) {
                currentId = data[0];
                info.numberedReports = true;
            } else if (tag == kGlobalPush) {
                if (pushed.size() < kMaxPushDepth) pushed.push_back(currentId);
            } else if (tag == kGlobalPop) {
                if (!pushed.empty()) {
                    currentId = pushed.back();
                    pushed.pop_back();
                }
            }
        } else if (type == kTypeMain && tag == kMainOutput && !outputSeen) {
            outputSeen = true;
            info.outputReportId = currentId;
        }
        pos += 1 + dataSize;
    }
    return info;
}

}  // namespace fwu
