#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>

#include "base/bytes.h"
#include "package/package.h"
#include "tests/package/fake_records.h"
#include "tools/fwpkg/fwpkg.h"

namespace fwu {
namespace {

const std::string kConfigBox = "获取配置文件失败！";
const std::string kPackageBox = "获取升级包文件失败！";

// Two small images: 4 pages of 64 bytes (final page 2) and 2 pages of 128
// bytes (final page 0); each image takes 352 bytes, the package 736.
pkg::Manifest SmallManifest() {
    pkg::Manifest m;
    m.productName = "Pad";
    m.configSize = 600;
    pkg::ImageEntry a;
    a.updateId = 0x111;
    a.fwVersion = 0x0102;
    a.subVersion = 3;
    a.hasSubVersion = 1;
    a.pageSize = 64;
    a.finalPageOffset = 0x80;
    pkg::ImageEntry b = a;
    b.updateId = 0x222;
    b.pageSize = 128;
    b.finalPageOffset = 0;
    m.images = {a, b};
    return m;
}

pkg::Records Build(const pkg::Manifest& m) {
    std::vector<std::vector<std::uint8_t>> fw;
    for (const auto& entry : m.images) {
        std::vector<std::uint8_t> bytes(entry.pageSize * (entry.pageSize == 64 ? 4 : 2));
        std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(entry.updateId));
        fw.push_back(bytes);
    }
    std::string error;
    auto r = pkg::BuildRecords(m, fw, error);
    EXPECT_TRUE(r) << error;
    return *r;
}

constexpr std::size_t kImage0 = 32, kImage1 = 32 + 352;

class LoaderTest : public ::testing::Test {
  protected:
    test::ScopedFakeSystem sys;
    std::vector<std::string> boxes;
    PackageConfig config;
    UpdatePackage images;

    void SetUp() override {
        const auto r = Build(SmallManifest());
        sys.fake.records[kConfigRecordId] = r.config;
        sys.fake.records[kPackageRecordId] = r.package;
    }
    std::vector<std::uint8_t>& Config() { return sys.fake.records[kConfigRecordId]; }
    std::vector<std::uint8_t>& Package() { return sys.fake.records[kPackageRecordId]; }
    bool LoadBoth() {
        const auto box = [this](const std::string& t) { boxes.push_back(t); };
        const bool c = LoadPackageConfig(config, box);
        const bool p = LoadUpdatePackage(config, images, box);
        return c && p;
    }
    bool NoImages() const {
        return std::all_of(images.begin(), images.end(), [](const auto& b) { return b.empty(); });
    }
    void ExpectPackageRejected() {
        EXPECT_FALSE(LoadBoth());
        EXPECT_EQ(boxes, std::vector<std::string>{kPackageBox});
        EXPECT_TRUE(NoImages());
    }
};

TEST_F(LoaderTest, ValidRecordsLoad) {
    ASSERT_TRUE(LoadBoth());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(config.ProductNameUtf8(), "Pad");
    EXPECT_EQ(config.imageCount, 2u);
    EXPECT_EQ(config.version[0], 0x01020003u);
    EXPECT_EQ(config.fwVersion(0), 0x0102);
    EXPECT_EQ(config.subVersion(0), 3);
    ASSERT_EQ(images[0].size(), 352u);
    EXPECT_TRUE(std::equal(images[1].begin(), images[1].end(), Package().begin() + kImage1));
    EXPECT_TRUE(images[2].empty());
}

TEST_F(LoaderTest, LengthRules) {
    const auto original = Config();
    // A configuration record of 200 bytes is missing; the package loader then
    // has no directory and stays silent.
    Config().resize(200);
    EXPECT_FALSE(LoadBoth());
    EXPECT_EQ(boxes, std::vector<std::string>{kConfigBox});
    EXPECT_EQ(config.imageCount, 0u);
    EXPECT_TRUE(config.productName.empty());
    EXPECT_TRUE(NoImages());

    // 201..443 bytes would be read past the end: also not loaded.
    boxes.clear();
    Config() = original;
    Config().resize(443);
    EXPECT_FALSE(LoadPackageConfig(config, [this](auto& t) { boxes.push_back(t); }));
    EXPECT_EQ(boxes, std::vector<std::string>{kConfigBox});
    Config().resize(444);
    EXPECT_TRUE(LoadPackageConfig(config, nullptr));

    // Missing records.
    boxes.clear();
    sys.fake.records.clear();
    EXPECT_FALSE(LoadBoth());
    EXPECT_EQ(boxes, (std::vector<std::string>{kConfigBox, kPackageBox}));
}

TEST_F(LoaderTest, PackageOf200BytesIsMissingAnd201Passes) {
    // One image of one 64-byte page: 32 + 160 bytes, padded to 201.
    auto m = SmallManifest();
    m.images.resize(1);
    m.images[0].finalPageOffset = 0;
    std::vector<std::vector<std::uint8_t>> fw{std::vector<std::uint8_t>(64, 7)};
    std::string error;
    const auto r = pkg::BuildRecords(m, fw, error);
    ASSERT_TRUE(r) << error;
    ASSERT_EQ(r->package.size(), 201u);
    Config() = r->config;
    Package() = r->package;
    EXPECT_TRUE(LoadBoth());
    EXPECT_EQ(images[0].size(), 160u);

    boxes.clear();
    Package().resize(200);
    ExpectPackageRejected();
}

TEST_F(LoaderTest, ImageCountOutsideOneToEight) {
    for (std::uint32_t count : {0u, 9u}) {
        boxes.clear();
        StoreLe32(Config().data() + 0x130, count);
        EXPECT_FALSE(LoadBoth());
        EXPECT_EQ(boxes, std::vector<std::string>{kConfigBox}) << count;
        EXPECT_TRUE(NoImages());
    }
    // A directory with 9 images given directly: nothing loaded, nothing shown.
    boxes.clear();
    PackageConfig nine = *PackageConfig::Parse(Build(SmallManifest()).config);
    nine.imageCount = 9;
    EXPECT_FALSE(LoadUpdatePackage(nine, images, [this](auto& t) { boxes.push_back(t); }));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(NoImages());
}

TEST_F(LoaderTest, ProductNameWithoutNulIsRejected) {
    for (std::size_t i = 0; i < 128; ++i) StoreLe16(Config().data() + 0x20 + 2 * i, 'A');
    EXPECT_FALSE(LoadBoth());
    EXPECT_EQ(boxes, std::vector<std::string>{kConfigBox});
}

TEST_F(LoaderTest, ImageRunningPastThePackageIsRejected) {
    StoreLe32(Config().data() + 0x134 + 4, 353);  // image 1 one byte longer
    ExpectPackageRejected();
}

TEST_F(LoaderTest, BrokenImageLayoutsAreRejected) {
    struct Case {
        const char* what;
        std::size_t at;  // header field of image 0 or 1
        std::uint32_t value;
    };
    const Case cases[] = {
        {"page size 0", kImage0 + 0x0C, 0},
        {"page size not a multiple of 64", kImage1 + 0x0C, 96},
        {"data not whole pages", kImage1 + 0x08, 192},
        {"table and data beyond the image", kImage0 + 0x08, 512},
        {"final page at page count", kImage0 + 0x14, 256},
        {"final page far out", kImage1 + 0x14, 0xFFFFFFFF},
        {"huge data size", kImage0 + 0x08, 0xFFFFFFC0},
    };
    const auto original = Package();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        boxes.clear();
        Package() = original;
        StoreLe32(Package().data() + c.at, c.value);
        ExpectPackageRejected();
    }
}

TEST_F(LoaderTest, IgnoredBytesChangeNothing) {
    // Markers, opaque field, trailer, checksum total, pageCount[k], extra zeros.
    std::fill_n(Config().begin(), 32, 0xAB);
    std::fill_n(Package().begin(), 32, 0x00);
    StoreLe32(Config().data() + 0x194, 12345);
    StoreLe32(Package().data() + kImage0 + 0x18, 0xDEADBEEF);
    std::fill_n(Package().begin() + kImage0 + 0x20, 16, 0x99);
    std::fill_n(Package().begin() + kImage1 + 352 - 16, 16, 0x77);
    Package().resize(Package().size() + 100000, 0);
    ASSERT_TRUE(LoadBoth());
    EXPECT_TRUE(boxes.empty());
    const PackageImage a(images[0]);
    EXPECT_EQ(a.pageCount(), 4u);
    EXPECT_EQ(images[1].size(), 352u);
}

TEST(PackageImageTest, DerivedValuesAndBounds) {
    const auto r = Build(SmallManifest());
    const PackageImage a(std::span(r.package).subspan(kImage0, 352));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.pageCount(), 4u);
    EXPECT_EQ(a.reportsPerPage(), 1u);
    EXPECT_EQ(a.finalPageIndex(), 2u);
    EXPECT_EQ(a.progressUnits(), 4u * 7u);
    EXPECT_EQ(a.pageAddress(3), 192u);
    EXPECT_EQ(a.page(3).data(), r.package.data() + kImage0 + 64 + 16 + 192);
    EXPECT_TRUE(a.page(4).empty());
    EXPECT_EQ(a.pageChecksum(4), 0u);
    EXPECT_EQ(a.checksumSum(), a.header().checksumTotal);

    // Bytes that fail validation give an empty view without pages.
    const PackageImage broken(std::span(r.package).subspan(kImage0, 100));
    EXPECT_TRUE(broken.empty());
    EXPECT_EQ(broken.pageCount(), 0u);
    EXPECT_EQ(broken.finalPageIndex(), 0u);
    EXPECT_TRUE(broken.page(0).empty());
}

TEST(PageScrambleTest, RoundTripAndChecksumRule) {
    std::vector<std::uint8_t> plain(4096);
    std::iota(plain.begin(), plain.end(), std::uint8_t{1});
    const std::uint32_t plainSum = std::accumulate(plain.begin(), plain.end(), 0u);
    for (std::uint32_t address : {0u, 0x400u, 0x5C00u, 0xFFFFF000u}) {
        SCOPED_TRACE(address);
        std::vector<std::uint8_t> stored(plain.size()), back(plain.size());
        ScramblePage(address, plain, stored);
        EXPECT_NE(stored, plain);
        EXPECT_NE(DevicePageChecksum(address, plain), plainSum);
        EXPECT_EQ(DevicePageChecksum(address, stored), plainSum);
        EXPECT_NE(DevicePageChecksum(address + 0x400, stored), plainSum);
        DescramblePage(address, stored, back);
        EXPECT_EQ(back, plain);
        DescramblePage(address, stored, stored);  // in place
        EXPECT_EQ(stored, plain);
    }
}

TEST(PageScrambleTest, ZeroSeedStillScrambles) {
    // The address whose seed would be 0 (a stuck keystream) uses seed 1.
    std::uint32_t inverse = 0x9E3779B9u;
    for (int i = 0; i < 5; ++i) inverse *= 2u - 0x9E3779B9u * inverse;
    const std::uint32_t address = 0xA5C3E1F7u * inverse;
    ASSERT_EQ(address * 0x9E3779B9u, 0xA5C3E1F7u);
    std::vector<std::uint8_t> zeros(64, 0), stored(64);
    ScramblePage(address, zeros, stored);
    EXPECT_NE(stored, zeros);
}

}  // namespace
}  // namespace fwu
