#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <string>

#include "base/bytes.h"
#include "package/package.h"
#include "tests/support/package.h"
#include "tests/support/services.h"

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

// The small package with firmware bytes counting up from each image's id.
test::Package SmallPackage(const pkg::Manifest& m = SmallManifest()) {
    std::vector<std::vector<std::uint8_t>> fw;
    for (const auto& entry : m.images) {
        std::vector<std::uint8_t> bytes(entry.pageSize * (entry.pageSize == 64 ? 4 : 2));
        std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(entry.updateId));
        fw.push_back(bytes);
    }
    return test::MakePackage(m, std::move(fw));
}

constexpr std::size_t kImage0 = 32, kImage1 = 32 + 352;

class LoaderTest : public ::testing::Test {
  protected:
    test::FakeSystem sys;
    test::ScopedServices services{{.system = &sys}};
    std::vector<std::string> boxes;
    PackageConfig config;
    UpdatePackage images;

    void SetUp() override { Serve(SmallPackage().records); }
    void Serve(const pkg::Records& r) {
        sys.records[kConfigRecordId] = r.config;
        sys.records[kPackageRecordId] = r.package;
    }
    std::vector<std::uint8_t>& Config() { return sys.records[kConfigRecordId]; }
    std::vector<std::uint8_t>& Package() { return sys.records[kPackageRecordId]; }
    bool LoadBoth() {
        const auto box = [this](const std::string& t) { boxes.push_back(t); };
        const bool c = LoadPackageConfig(config, box);
        const bool p = LoadUpdatePackage(config, images, box);
        return c && p;
    }
    bool NoImages() const {
        return std::all_of(images.begin(), images.end(), [](const auto& b) { return b.empty(); });
    }
};

TEST_F(LoaderTest, ValidRecordsLoadWithTheirDerivedValues) {
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

    const PackageImage a(images[0]);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.pageCount(), 4u);
    EXPECT_EQ(a.reportsPerPage(), 1u);
    EXPECT_EQ(a.finalPageIndex(), 2u);
    EXPECT_EQ(a.progressUnits(), 4u * 7u);
    EXPECT_EQ(a.pageAddress(3), 192u);
    EXPECT_EQ(a.page(3).data(), images[0].data() + 64 + 16 + 192);
    EXPECT_EQ(a.checksumSum(), a.header().checksumTotal);
}

// Each damage leaves the loaders with nothing loaded and the given boxes; a
// configuration that does not load leaves the package loader silent.
TEST_F(LoaderTest, DamagedRecordsAreRefused) {
    using Records = std::map<int, std::vector<std::uint8_t>>;
    const auto setLe32 = [](int id, std::size_t at, std::uint32_t value) {
        return [=](Records& r) { StoreLe32(r[id].data() + at, value); };
    };
    const auto inConfig = [&](std::size_t at, std::uint32_t value) {
        return setLe32(kConfigRecordId, at, value);
    };
    const auto inPackage = [&](std::size_t at, std::uint32_t value) {
        return setLe32(kPackageRecordId, at, value);
    };
    const std::vector<std::string> configBox{kConfigBox}, packageBox{kPackageBox};
    const struct Case {
        const char* what;
        std::function<void(Records&)> damage;
        std::vector<std::string> boxes;
    } cases[] = {
        {"records missing", [](Records& r) { r.clear(); }, {kConfigBox, kPackageBox}},
        {"configuration of 200 bytes", [](Records& r) { r[kConfigRecordId].resize(200); },
         configBox},
        // 201..443 bytes would be read past the end.
        {"configuration of 443 bytes", [](Records& r) { r[kConfigRecordId].resize(443); },
         configBox},
        {"image count 0", inConfig(0x130, 0), configBox},
        {"image count 9", inConfig(0x130, 9), configBox},
        {"product name without NUL",
         [](Records& r) {
             for (std::size_t i = 0; i < 128; ++i)
                 StoreLe16(r[kConfigRecordId].data() + 0x20 + 2 * i, 'A');
         },
         configBox},
        {"image running past the package", inConfig(0x134 + 4, 353), packageBox},
        {"page size 0", inPackage(kImage0 + 0x0C, 0), packageBox},
        {"page size not a multiple of 64", inPackage(kImage1 + 0x0C, 96), packageBox},
        {"data not whole pages", inPackage(kImage1 + 0x08, 192), packageBox},
        {"table and data beyond the image", inPackage(kImage0 + 0x08, 512), packageBox},
        {"final page at page count", inPackage(kImage0 + 0x14, 256), packageBox},
        {"final page far out", inPackage(kImage1 + 0x14, 0xFFFFFFFF), packageBox},
        {"huge data size", inPackage(kImage0 + 0x08, 0xFFFFFFC0), packageBox},
    };
    const Records original = sys.records;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        boxes.clear();
        sys.records = original;
        c.damage(sys.records);
        EXPECT_FALSE(LoadBoth());
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_TRUE(NoImages());
        if (c.boxes.front() == kConfigBox) {
            EXPECT_EQ(config.imageCount, 0u);
            EXPECT_TRUE(config.productName.empty());
        }
    }
}

TEST_F(LoaderTest, ShortestRecordsThatLoad) {
    // A configuration of 444 bytes.
    Config().resize(444);
    EXPECT_TRUE(LoadPackageConfig(config, nullptr));

    // One image of one 64-byte page: 32 + 160 bytes, padded to 201; 200 are missing.
    auto m = SmallManifest();
    m.images.resize(1);
    m.images[0].finalPageOffset = 0;
    Serve(test::MakePackage(m, {std::vector<std::uint8_t>(64, 7)}).records);
    ASSERT_EQ(Package().size(), 201u);
    EXPECT_TRUE(LoadBoth());
    EXPECT_EQ(images[0].size(), 160u);

    Package().resize(200);
    EXPECT_FALSE(LoadBoth());
    EXPECT_EQ(boxes, std::vector<std::string>{kPackageBox});
    EXPECT_TRUE(NoImages());
}

TEST_F(LoaderTest, DirectoryOfNineImagesLoadsNothingAndShowsNothing) {
    PackageConfig nine = SmallPackage().config;
    nine.imageCount = 9;
    EXPECT_FALSE(LoadUpdatePackage(nine, images, [this](auto& t) { boxes.push_back(t); }));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(NoImages());
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
