// The embedded configuration record (resource 137) and update package
// (resource 138): layouts, loaders and the values derived from an image.
// Every field is read with explicit little-endian helpers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fwu {

inline constexpr int kConfigRecordId = 137;
inline constexpr int kPackageRecordId = 138;
inline constexpr int kMaxImages = 8;
inline constexpr std::size_t kConfigBlockOffset = 0x20;
inline constexpr std::size_t kConfigBlockSize = 412;  // bytes 0x020..0x1BB
inline constexpr std::size_t kConfigMinSize = 0x1BC;  // 444
inline constexpr std::size_t kPackageImagesOffset = 32;
inline constexpr std::size_t kImageHeaderSize = 64;

struct UsbId {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    bool operator==(const UsbId&) const = default;
    bool BothNonZero() const { return vid != 0 && pid != 0; }
};

// The 412-byte configuration block, decoded.
struct PackageConfig {
    std::u16string productName;  // up to the NUL
    std::array<UsbId, 3> normalIds{};
    UsbId upgradeId{};
    std::uint32_t imageCount = 0;
    std::array<std::uint32_t, kMaxImages> imageSize{};
    std::array<std::uint32_t, kMaxImages> updateId{};
    std::array<std::uint32_t, kMaxImages> version{};  // (fwVersion << 16) | subVersion
    std::array<std::uint32_t, kMaxImages> pageCount{};
    std::array<std::uint8_t, kMaxImages> hasSubVersion{};

    std::uint16_t fwVersion(int k) const { return static_cast<std::uint16_t>(version[k] >> 16); }
    std::uint16_t subVersion(int k) const { return static_cast<std::uint16_t>(version[k]); }
    std::string ProductNameUtf8() const;

    // Decode a whole configuration record (marker included). nullopt when it
    // is shorter than 444 bytes, the name has no NUL, or imageCount is not 1..8.
    static std::optional<PackageConfig> Parse(std::span<const std::uint8_t> record);
    // Encode into a record of `recordSize` bytes (marker 0x55, zero fill).
    std::vector<std::uint8_t> Serialize(std::size_t recordSize) const;
};

struct ImageHeader {
    std::uint32_t updateId = 0;
    std::uint32_t fwVersion = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t baseAddress = 0;
    std::uint32_t finalPageOffset = 0;
    std::uint32_t checksumTotal = 0;
    std::uint16_t subVersion = 0;
    std::uint8_t hasSubVersion = 0;

    // Decode the first 64 bytes of an image (no checks beyond length).
    static std::optional<ImageHeader> Parse(std::span<const std::uint8_t> image);
    void Serialize(std::uint8_t* out64) const;
};

// Read-only view of one image (header, checksum table, page data) that lives
// in a buffer of the dialog. The derived values follow the header; a view is
// only made of images that passed Validate(), so nothing reads out of bounds.
class PackageImage {
  public:
    PackageImage() = default;
    // Views `bytes` when they pass Validate(); otherwise the view stays empty
    // (no bytes, all header fields zero, no pages).
    explicit PackageImage(std::span<const std::uint8_t> bytes);
    bool empty() const { return bytes_.empty(); }

    // Checks the layout rules (page size a non-zero multiple of 64, data a
    // whole number of pages, table and data inside the image, final page
    // inside the image).
    static bool Validate(std::span<const std::uint8_t> bytes);

    const ImageHeader& header() const { return header_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    // A default-constructed view (or one of bytes that failed Validate) has
    // page size 0 and reports no pages.
    std::uint32_t pageCount() const {
        return header_.pageSize == 0 ? 0 : header_.dataSize / header_.pageSize;
    }
    std::uint32_t reportsPerPage() const { return header_.pageSize / 64; }
    std::uint32_t finalPageIndex() const {
        return header_.pageSize == 0 ? 0 : header_.finalPageOffset / header_.pageSize;
    }
    std::uint32_t pageAddress(std::uint32_t i) const {
        return header_.baseAddress + i * header_.pageSize;
    }
    // Empty span / 0 for an index at or beyond pageCount().
    std::span<const std::uint8_t> page(std::uint32_t i) const;
    std::uint32_t pageChecksum(std::uint32_t i) const;
    std::uint32_t progressUnits() const { return pageCount() * (reportsPerPage() + 6); }
    // Sum of every entry of the checksum table, modulo 2^32.
    std::uint32_t checksumSum() const;

  private:
    std::span<const std::uint8_t> bytes_;
    ImageHeader header_;
};

// m_imageData: image k of the package in buffer k.
using UpdatePackage = std::array<std::vector<std::uint8_t>, kMaxImages>;

// Shows a message box with the application's name as caption.
using MessageBoxHook = std::function<void(const std::string& text)>;

// Load resource 137 into `config` (left all zero on failure, with the box
// "获取配置文件失败！"). A record that is missing, 200 bytes or shorter, or
// that does not decode (see PackageConfig::Parse) is not loaded. Returns
// whether it loaded. Setting the window title is the caller's part.
bool LoadPackageConfig(PackageConfig& config, const MessageBoxHook& box);

// Load resource 138 into `images` using config's directory. A missing record
// or one of 200 bytes or fewer gives the box "获取升级包文件失败！". With
// imageCount not 1..8 nothing is loaded and nothing shown. A directory whose
// images run past the record, or an image that fails PackageImage::Validate,
// loads no image and gives the same box as a missing record. `images` is
// left with every buffer empty on failure. Returns whether images loaded.
bool LoadUpdatePackage(const PackageConfig& config, UpdatePackage& images,
                       const MessageBoxHook& box);

// The image-splitting step of LoadUpdatePackage on bytes already in memory
// (used by the loader and by the packaging tool): nullopt when the record is
// 200 bytes or shorter, imageCount is not 1..8, an image runs past the end
// of the record or fails PackageImage::Validate.
std::optional<UpdatePackage> SplitPackageRecord(const PackageConfig& config,
                                                std::span<const std::uint8_t> record);

// Page scrambling of the controller. Pages are stored and sent scrambled
// with a keystream seeded by the page's device address:
//   state = pageAddress * 0x9E3779B9 ^ 0xA5C3E1F7   (32-bit; 1 if that is 0)
//   for each byte: state ^= state << 13; state ^= state >> 17;
//                  state ^= state << 5;  out = in ^ (state >> 24)
// Scrambling and descrambling are the same operation. The checksum the
// controller computes for a page (and the checksum table holds) is the
// 32-bit sum of the page's plain, i.e. descrambled, bytes. The tool itself
// never computes page checksums: it forwards the table's entries; only the
// packaging tool and the simulated controller use these functions.
// `out` must hold at least as many bytes as the input; it may be the input.
void DescramblePage(std::uint32_t pageAddress, std::span<const std::uint8_t> stored,
                    std::span<std::uint8_t> out);
void ScramblePage(std::uint32_t pageAddress, std::span<const std::uint8_t> plain,
                  std::span<std::uint8_t> out);
std::uint32_t DevicePageChecksum(std::uint32_t pageAddress, std::span<const std::uint8_t> stored);

}  // namespace fwu
