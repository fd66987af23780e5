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
constexpr unsigned kGlobalReportSize = 0x7;
constexpr unsigned kGlobalReportId = 0x8;
constexpr unsigned kGlobalPush = 0xA;
constexpr unsigned kGlobalPop = 0xB;
// Main item data bits.
constexpr std::uint32_t kMainConstant = 0x1;
constexpr std::uint32_t kMainVariable = 0x2;
// Deeper Push nesting than any real device uses; beyond it Push is ignored.
constexpr std::size_t kMaxPushDepth = 32;

// The global items the walk keeps, saved and restored by Push and Pop.
struct GlobalState {
    std::uint8_t reportId = 0;
    std::uint32_t reportSize = 0;
};

std::uint32_t ItemValue(const std::uint8_t* data, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{data[i]} << (8 * i);
    return value;
}

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    ReportDescriptorInfo info;
    bool outputSeen = false;
    GlobalState global;
    std::vector<GlobalState> pushed;

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
        const std::uint32_t value = ItemValue(descriptor.data() + pos + 1, dataSize);

        if (type == kTypeGlobal) {
            if (tag == kGlobalReportId && dataSize >= 1) {
                global.reportId = static_cast<std::uint8_t>(value);
                info.numberedReports = true;
            } else if (tag == kGlobalReportSize) {
                global.reportSize = value;
            } else if (tag == kGlobalPush) {
                if (pushed.size() < kMaxPushDepth) pushed.push_back(global);
            } else if (tag == kGlobalPop) {
                if (!pushed.empty()) {
                    global = pushed.back();
                    pushed.pop_back();
                }
            }
        } else if (type == kTypeMain && tag == kMainOutput && !outputSeen) {
            const bool constant = (value & kMainConstant) != 0;
            const bool array = (value & kMainVariable) == 0;
            if (!constant && !array && global.reportSize > 1) {
                outputSeen = true;
                info.outputReportId = global.reportId;
            }
        }
        pos += 1 + dataSize;
    }
    return info;
}

}  // namespace fwu
