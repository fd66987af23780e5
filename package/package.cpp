#include "package/package.h"

#include <algorithm>

#include "base/bytes.h"
#include "base/text.h"
#include "platform/system.h"

namespace fwu {
namespace {

// Offsets inside the configuration record.
constexpr std::size_t kNameOffset = 0x020;
constexpr std::size_t kNameUnits = 128;
constexpr std::size_t kNormalIdsOffset = 0x120;
constexpr std::size_t kUpgradeIdOffset = 0x12C;
constexpr std::size_t kImageCountOffset = 0x130;
constexpr std::size_t kImageSizeOffset = 0x134;
constexpr std::size_t kUpdateIdOffset = 0x154;
constexpr std::size_t kVersionOffset = 0x174;
constexpr std::size_t kPageCountOffset = 0x194;
constexpr std::size_t kHasSubVersionOffset = 0x1B4;
constexpr std::size_t kMarkerSize = 32;

// Offsets inside an image header.
constexpr std::size_t kHdrUpdateId = 0x00;
constexpr std::size_t kHdrFwVersion = 0x04;
constexpr std::size_t kHdrDataSize = 0x08;
constexpr std::size_t kHdrPageSize = 0x0C;
constexpr std::size_t kHdrBaseAddress = 0x10;
constexpr std::size_t kHdrFinalPageOffset = 0x14;
constexpr std::size_t kHdrChecksumTotal = 0x18;
constexpr std::size_t kHdrSubVersion = 0x1C;
constexpr std::size_t kHdrHasSubVersion = 0x30;

// Records of this length or shorter count as missing.
constexpr std::size_t kMinRecordSize = 200;

constexpr const char* kConfigFailText = "获取配置文件失败！";
constexpr const char* kPackageFailText = "获取升级包文件失败！";

UsbId ReadId(const std::uint8_t* p) {
    return UsbId{LoadLe16(p), LoadLe16(p + 2)};
}

void WriteId(std::uint8_t* p, UsbId id) {
    StoreLe16(p, id.vid);
    StoreLe16(p + 2, id.pid);
}

std::uint32_t Keystream(std::uint32_t pageAddress) {
    std::uint32_t state = (pageAddress * 0x9E3779B9u) ^ 0xA5C3E1F7u;
    return state == 0 ? 1u : state;
}

std::uint8_t NextKey(std::uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<std::uint8_t>(state >> 24);
}

void XorKeystream(std::uint32_t pageAddress, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out) {
    std::uint32_t state = Keystream(pageAddress);
    const std::size_t n = std::min(in.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ NextKey(state));
}

std::optional<std::vector<std::uint8_t>> FetchRecord(int id) {
    auto record = System().LoadRecord(id);
    if (!record || record->size() <= kMinRecordSize) return std::nullopt;
    return record;
}

}  // namespace

std::string PackageConfig::ProductNameUtf8() const {
    return Utf16ToUtf8(productName);
}

std::optional<PackageConfig> PackageConfig::Parse(std::span<const std::uint8_t> record) {
    if (record.size() < kConfigMinSize) return std::nullopt;
    const std::uint8_t* p = record.data();

    PackageConfig c;
    std::size_t units = 0;
    while (units < kNameUnits && LoadLe16(p + kNameOffset + 2 * units) != 0) ++units;
    if (units == kNameUnits) return std::nullopt;  // no NUL inside the field
    c.productName.reserve(units);
    for (std::size_t i = 0; i < units; ++i)
        c.productName.push_back(static_cast<char16_t>(LoadLe16(p + kNameOffset + 2 * i)));

    for (std::size_t i = 0; i < c.normalIds.size(); ++i)
        c.normalIds[i] = ReadId(p + kNormalIdsOffset + 4 * i);
    c.upgradeId = ReadId(p + kUpgradeIdOffset);
    c.imageCount = LoadLe32(p + kImageCountOffset);
    if (c.imageCount < 1 || c.imageCount > kMaxImages) return std::nullopt;
    for (std::size_t k = 0; k < kMaxImages; ++k) {
        c.imageSize[k] = LoadLe32(p + kImageSizeOffset + 4 * k);
        c.updateId[k] = LoadLe32(p + kUpdateIdOffset + 4 * k);
        c.version[k] = LoadLe32(p + kVersionOffset + 4 * k);
        c.pageCount[k] = LoadLe32(p + kPageCountOffset + 4 * k);
        c.hasSubVersion[k] = p[kHasSubVersionOffset + k];
    }
    return c;
}

std::vector<std::uint8_t> PackageConfig::Serialize(std::size_t recordSize) const {
    std::vector<std::uint8_t> out(std::max(recordSize, kConfigMinSize), 0);
    std::uint8_t* p = out.data();
    std::fill(p, p + kMarkerSize, std::uint8_t{0x55});
    // The name keeps its terminating NUL inside the field.
    const std::size_t units = std::min(productName.size(), kNameUnits - 1);
    for (std::size_t i = 0; i < units; ++i)
        StoreLe16(p + kNameOffset + 2 * i, static_cast<std::uint16_t>(productName[i]));
    for (std::size_t i = 0; i < normalIds.size(); ++i)
        WriteId(p + kNormalIdsOffset + 4 * i, normalIds[i]);
    WriteId(p + kUpgradeIdOffset, upgradeId);
    StoreLe32(p + kImageCountOffset, imageCount);
    for (std::size_t k = 0; k < kMaxImages; ++k) {
        StoreLe32(p + kImageSizeOffset + 4 * k, imageSize[k]);
        StoreLe32(p + kUpdateIdOffset + 4 * k, updateId[k]);
        StoreLe32(p + kVersionOffset + 4 * k, version[k]);
        StoreLe32(p + kPageCountOffset + 4 * k, pageCount[k]);
        p[kHasSubVersionOffset + k] = hasSubVersion[k];
    }
    return out;
}

std::optional<ImageHeader> ImageHeader::Parse(std::span<const std::uint8_t> image) {
    if (image.size() < kImageHeaderSize) return std::nullopt;
    const std::uint8_t* p = image.data();
    ImageHeader h;
    h.updateId = LoadLe32(p + kHdrUpdateId);
    h.fwVersion = LoadLe32(p + kHdrFwVersion);
    h.dataSize = LoadLe32(p + kHdrDataSize);
    h.pageSize = LoadLe32(p + kHdrPageSize);
    h.baseAddress = LoadLe32(p + kHdrBaseAddress);
    h.finalPageOffset = LoadLe32(p + kHdrFinalPageOffset);
    h.checksumTotal = LoadLe32(p + kHdrChecksumTotal);
    h.subVersion = LoadLe16(p + kHdrSubVersion);
    h.hasSubVersion = p[kHdrHasSubVersion];
    return h;
}

void ImageHeader::Serialize(std::uint8_t* out64) const {
    std::fill(out64, out64 + kImageHeaderSize, std::uint8_t{0});
    StoreLe32(out64 + kHdrUpdateId, updateId);
    StoreLe32(out64 + kHdrFwVersion, fwVersion);
    StoreLe32(out64 + kHdrDataSize, dataSize);
    StoreLe32(out64 + kHdrPageSize, pageSize);
    StoreLe32(out64 + kHdrBaseAddress, baseAddress);
    StoreLe32(out64 + kHdrFinalPageOffset, finalPageOffset);
    StoreLe32(out64 + kHdrChecksumTotal, checksumTotal);
    StoreLe16(out64 + kHdrSubVersion, subVersion);
    out64[kHdrHasSubVersion] = hasSubVersion;
}

bool PackageImage::Validate(std::span<const std::uint8_t> bytes) {
    const auto h = ImageHeader::Parse(bytes);
    if (!h) return false;
    if (h->pageSize == 0 || h->pageSize % 64 != 0) return false;
    if (h->dataSize % h->pageSize != 0) return false;
    const std::uint64_t pages = h->dataSize / h->pageSize;
    // 64-bit arithmetic: the sum of 32-bit fields cannot wrap.
    const std::uint64_t needed = kImageHeaderSize + 4 * pages + std::uint64_t{h->dataSize};
    if (needed > bytes.size()) return false;
    return h->finalPageOffset / h->pageSize < pages;
}

PackageImage::PackageImage(std::span<const std::uint8_t> bytes) {
    if (!Validate(bytes)) return;
    bytes_ = bytes;
    header_ = *ImageHeader::Parse(bytes);
}

std::span<const std::uint8_t> PackageImage::page(std::uint32_t i) const {
    if (i >= pageCount()) return {};
    const std::size_t start = kImageHeaderSize + 4 * std::size_t{pageCount()} +
                              std::size_t{i} * std::size_t{header_.pageSize};
    return bytes_.subspan(start, header_.pageSize);
}

std::uint32_t PackageImage::pageChecksum(std::uint32_t i) const {
    if (i >= pageCount()) return 0;
    return LoadLe32(bytes_.data() + kImageHeaderSize + 4 * std::size_t{i});
}

std::uint32_t PackageImage::checksumSum() const {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < pageCount(); ++i) sum += pageChecksum(i);
    return sum;
}

std::optional<UpdatePackage> SplitPackageRecord(const PackageConfig& config,
                                                std::span<const std::uint8_t> record) {
    if (record.size() <= kMinRecordSize) return std::nullopt;
    if (config.imageCount < 1 || config.imageCount > kMaxImages) return std::nullopt;
    std::uint64_t offset = kPackageImagesOffset;
    for (std::uint32_t k = 0; k < config.imageCount; ++k) {
        const std::uint64_t size = config.imageSize[k];
        if (offset + size > record.size()) return std::nullopt;
        if (!PackageImage::Validate(record.subspan(offset, size))) return std::nullopt;
        offset += size;
    }
    UpdatePackage images;
    offset = kPackageImagesOffset;
    for (std::uint32_t k = 0; k < config.imageCount; ++k) {
        const auto* first = record.data() + offset;
        images[k].assign(first, first + config.imageSize[k]);
        offset += config.imageSize[k];
    }
    return images;
}

bool LoadPackageConfig(PackageConfig& config, const MessageBoxHook& box) {
    config = PackageConfig{};
    const auto record = FetchRecord(kConfigRecordId);
    // A record the program cannot decode safely counts as not loaded.
    const auto parsed = record ? PackageConfig::Parse(*record) : std::nullopt;
    if (!parsed) {
        if (box) box(kConfigFailText);
        return false;
    }
    config = *parsed;
    return true;
}

bool LoadUpdatePackage(const PackageConfig& config, UpdatePackage& images,
                       const MessageBoxHook& box) {
    for (auto& image : images) image.clear();
    const auto record = FetchRecord(kPackageRecordId);
    if (!record) {
        if (box) box(kPackageFailText);
        return false;
    }
    // No usable directory (the configuration failed to load): nothing to
    // take and nothing more to say; the configuration loader has spoken.
    if (config.imageCount < 1 || config.imageCount > kMaxImages) return false;
    auto split = SplitPackageRecord(config, *record);
    if (!split) {
        if (box) box(kPackageFailText);
        return false;
    }
    images = std::move(*split);
    return true;
}

void DescramblePage(std::uint32_t pageAddress, std::span<const std::uint8_t> stored,
                    std::span<std::uint8_t> out) {
    XorKeystream(pageAddress, stored, out);
}

void ScramblePage(std::uint32_t pageAddress, std::span<const std::uint8_t> plain,
                  std::span<std::uint8_t> out) {
    XorKeystream(pageAddress, plain, out);
}

std::uint32_t DevicePageChecksum(std::uint32_t pageAddress, std::span<const std::uint8_t> stored) {
    std::uint32_t state = Keystream(pageAddress);
    std::uint32_t sum = 0;
    for (std::uint8_t b : stored) sum += static_cast<std::uint8_t>(b ^ NextKey(state));
    return sum;
}

}  // namespace fwu
