// The records the build embeds, read through the platform's record access
// and loaded by the updater's loaders.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/bytes.h"
#include "package/package.h"
#include "package/version_block.h"
#include "platform/platform.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

class EmbeddedRecordsTest : public ::testing::Test {
  protected:
    test::FakeSystem sys;
    test::ScopedServices services{{.system = &sys}};
    PackageConfig config;
    UpdatePackage images;
    std::vector<std::string> boxes;

    void SetUp() override {
        for (int id : {kConfigRecordId, kPackageRecordId}) {
            auto record = LoadEmbeddedRecord(id);
            ASSERT_TRUE(record) << id;
            sys.records[id] = std::move(*record);
        }
        const auto box = [this](const std::string& t) { boxes.push_back(t); };
        ASSERT_TRUE(LoadPackageConfig(config, box));
        ASSERT_TRUE(LoadUpdatePackage(config, images, box));
        EXPECT_TRUE(boxes.empty());
    }
};

TEST_F(EmbeddedRecordsTest, UnknownIdIsAbsent) {
    EXPECT_FALSE(LoadEmbeddedRecord(139));
}

TEST_F(EmbeddedRecordsTest, ChecksumTableMatchesTheControllersRule) {
    for (std::uint32_t k = 0; k < config.imageCount; ++k) {
        const PackageImage image(images[k]);
        ASSERT_FALSE(image.empty());
        // The configuration mirrors the header.
        EXPECT_EQ(config.updateId[k], image.header().updateId);
        EXPECT_EQ(config.fwVersion(k), image.header().fwVersion);
        EXPECT_EQ(config.subVersion(k), image.header().subVersion);
        EXPECT_EQ(config.pageCount[k], image.pageCount());
        for (std::uint32_t i = 0; i < image.pageCount(); ++i)
            ASSERT_EQ(image.pageChecksum(i),
                      DevicePageChecksum(image.pageAddress(i), image.page(i)))
                << k << "/" << i;
        EXPECT_EQ(image.checksumSum(), image.header().checksumTotal);

        // The final page carries the image's version block.
        const auto page = image.page(image.finalPageIndex());
        std::vector<std::uint8_t> plain(page.size());
        DescramblePage(image.pageAddress(image.finalPageIndex()), page, plain);
        const std::uint8_t* vb =
            plain.data() + image.header().finalPageOffset % image.header().pageSize;
        EXPECT_TRUE(std::equal(vb, vb + 4, kVersionBlockMagic));
        EXPECT_EQ(LoadLe16(vb + 4), image.header().updateId);
        EXPECT_EQ(LoadLe16(vb + 6), image.header().fwVersion);
        EXPECT_EQ(LoadLe16(vb + 8), image.header().subVersion);
    }
}

#ifdef FWU_DEFAULT_RECORDS
TEST_F(EmbeddedRecordsTest, DefaultRecordsHaveTheShippedLayout) {
    const auto& cfg = sys.records[kConfigRecordId];
    const auto& pkg = sys.records[kPackageRecordId];
    EXPECT_EQ(cfg.size(), 131072u);
    EXPECT_EQ(pkg.size(), 2098150u);
    EXPECT_TRUE(std::all_of(cfg.begin() + 0x1BC, cfg.end(), [](auto b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(pkg.begin() + 0x1F670, pkg.end(), [](auto b) { return b == 0; }));

    EXPECT_EQ(config.ProductNameUtf8(), "M27504_Controller");
    EXPECT_EQ(config.normalIds[0], (UsbId{0x3A5C, 0x1F40}));
    EXPECT_EQ(config.normalIds[1], UsbId{});
    EXPECT_EQ(config.upgradeId, (UsbId{0x3A5C, 0x2033}));
    EXPECT_EQ(config.imageCount, 2u);
    EXPECT_EQ(config.imageSize[0], 99808u);
    EXPECT_EQ(config.imageSize[1], 28784u);
    EXPECT_EQ(config.updateId[0], 0x313u);
    EXPECT_EQ(config.updateId[1], 0x20Du);
    EXPECT_EQ(config.version[0], 0x01400001u);
    EXPECT_EQ(config.version[1], 0x01200000u);
    EXPECT_EQ(config.hasSubVersion[0], 1);
    EXPECT_EQ(config.hasSubVersion[1], 0);
    EXPECT_TRUE(std::equal(images[1].begin(), images[1].end(), pkg.begin() + 0x18600));

    const PackageImage a(images[0]), b(images[1]);
    EXPECT_EQ(a.pageCount(), 97u);
    EXPECT_EQ(b.pageCount(), 7u);
    EXPECT_EQ(a.reportsPerPage(), 16u);
    EXPECT_EQ(b.reportsPerPage(), 64u);
    EXPECT_EQ(a.finalPageIndex(), 23u);
    EXPECT_EQ(b.finalPageIndex(), 0u);
    EXPECT_EQ(a.progressUnits(), 2134u);
    EXPECT_EQ(b.progressUnits(), 490u);
    EXPECT_EQ(a.header().finalPageOffset, 0x5FF0u);
    EXPECT_EQ(b.header().finalPageOffset, 0x30u);
    EXPECT_EQ(a.header().hasSubVersion, 1);

    // One erased page; no stored page sums to its checksum.
    int erased = 0;
    for (std::uint32_t i = 0; i < a.pageCount(); ++i) {
        if (a.pageChecksum(i) != 0x3FC00u) continue;
        ++erased;
        std::uint32_t storedSum = 0;
        for (auto byte : a.page(i)) storedSum += byte;
        EXPECT_NE(storedSum, 0x3FC00u);
    }
    EXPECT_EQ(erased, 1);
}
#endif

}  // namespace
}  // namespace fwu
