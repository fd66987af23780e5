#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "device/DeviceManager.h"
#include "package/describe.h"
#include "tools/fwpkg/fwpkg.h"

namespace fwu::pkg {
namespace {

const char* kManifest = R"(# test package
product_name = Test Pad
normal_id = 0x1234 0x5678
upgrade_id = 0x1234 0x2033
config_size = 1024
package_size = 4096

[image]
firmware = a.bin   # plain firmware
update_id = 0x313
version = 0x0140
sub_version = 1
has_sub_version = 1
page_size = 256
base_address = 0x8000
final_page_offset = 0x210
demo_pages = 5
demo_erased_page = 1
)";

TEST(FwpkgManifestTest, ParsesEveryKey) {
    std::string error;
    const auto m = ParseManifest(kManifest, error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->productName, "Test Pad");
    EXPECT_EQ(m->normalIds[0], (UsbId{0x1234, 0x5678}));
    EXPECT_EQ(m->upgradeId, (UsbId{0x1234, 0x2033}));
    EXPECT_EQ(m->configSize, 1024u);
    EXPECT_EQ(m->packageSize, 4096u);
    ASSERT_EQ(m->images.size(), 1u);
    const ImageEntry& s = m->images[0];
    EXPECT_EQ(s.firmware, "a.bin");
    EXPECT_EQ(s.updateId, 0x313u);
    EXPECT_EQ(s.fwVersion, 0x0140);
    EXPECT_EQ(s.baseAddress, 0x8000u);
    EXPECT_EQ(s.finalPageOffset, 0x210u);
    EXPECT_EQ(s.demoErasedPage, 1u);
}

TEST(FwpkgManifestTest, ErrorsNameTheLine) {
    const struct {
        std::string text, expect;
    } cases[] = {
        {"product_name = x\n[image]\npage_size = 12z\n", "line 3"},
        {"product_name = x\nfirmware = a.bin\n", "line 2"},
        {"[image]\ncolour = 1\n", "line 2"},
        {"[image]\nversion = 0x10000\n", "line 2"},
        {"[image]\nupdate_id = 0x10000\n", "line 2"},  // controllers report 16 bits
        {"[image]\nupgrade_id = 1\n", "line 2"},
        {"product_name = x\npackage_size = 0x10000001\n", "line 2: 'package_size' above"},
        {"product_name = x\n", "no [image]"},
        {[] {
             std::string t;
             for (int i = 0; i < 9; ++i) t += "[image]\n";
             return t;
         }(),
         "line 9"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseManifest(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
    }
}

class FwpkgBuildTest : public ::testing::Test {
  protected:
    Manifest manifest;
    std::vector<std::uint8_t> firmware;
    void SetUp() override {
        std::string error;
        manifest = *ParseManifest(kManifest, error);
        firmware = *DemoFirmware(manifest, 0, error);
    }
};

TEST_F(FwpkgBuildTest, DemoFirmwareCarriesVersionBlockAndErasedPage) {
    std::string error;
    ASSERT_EQ(firmware.size(), 5u * 256u);
    EXPECT_EQ(*DemoFirmware(manifest, 0, error), firmware);  // deterministic
    const std::uint8_t* vb = firmware.data() + 0x210;
    EXPECT_EQ(std::string(vb, vb + 4), "FWVB");
    EXPECT_EQ(LoadLe16(vb + 4), 0x313);
    EXPECT_EQ(LoadLe16(vb + 6), 0x0140);
    EXPECT_EQ(LoadLe16(vb + 8), 1);
    EXPECT_TRUE(std::all_of(firmware.begin() + 256, firmware.begin() + 512,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(std::all_of(firmware.begin(), firmware.begin() + 256,
                             [](std::uint8_t b) { return b == 0xFF; }));

    manifest.images[0].finalPageOffset = 5 * 256 - 8;  // block would stick out
    EXPECT_FALSE(DemoFirmware(manifest, 0, error));
}

TEST_F(FwpkgBuildTest, BuildThenLoadAndDescribe) {
    std::string error;
    const auto records = BuildRecords(manifest, {firmware}, error);
    ASSERT_TRUE(records) << error;
    EXPECT_EQ(records->config.size(), 1024u);
    EXPECT_EQ(records->package.size(), 4096u);
    const auto loaded = CheckRecords(records->config, records->package, error);
    ASSERT_TRUE(loaded) << error;
    const PackageConfig& c = loaded->config;
    EXPECT_EQ(c.ProductNameUtf8(), "Test Pad");
    EXPECT_EQ(c.version[0], 0x01400001u);
    EXPECT_EQ(c.pageCount[0], 5u);
    EXPECT_EQ(c.hasSubVersion[0], 1);

    const PackageImage image(loaded->images[0]);
    ASSERT_FALSE(image.empty());
    // 64 + 20 + 1280 = 1364, filled to 1376, plus the trailer.
    EXPECT_EQ(image.bytes().size(), 1392u);
    EXPECT_EQ(c.imageSize[0], 1392u);
    EXPECT_EQ(image.header().subVersion, 1);
    EXPECT_EQ(image.finalPageIndex(), 2u);
    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < image.pageCount(); ++i) {
        // Stored scrambled; the table holds what the controller will compute.
        EXPECT_EQ(image.pageChecksum(i), DevicePageChecksum(image.pageAddress(i), image.page(i)));
        EXPECT_FALSE(
            std::equal(image.page(i).begin(), image.page(i).end(), firmware.begin() + i * 256));
        total += image.pageChecksum(i);
    }
    EXPECT_EQ(image.pageChecksum(1), 255u * 256u);  // the erased page
    EXPECT_EQ(image.header().checksumTotal, total);

    const std::string text = DescribePackage(c, loaded->images);
    for (const char* part :
         {"Test Pad", "1234/5678", "1234/2033", "0x313", "page count: 5", "final page index: 2",
          "progress units: 50", "Total progress units: 50"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    EXPECT_NE(text.find(Format("0x%08X", total)), std::string::npos);
}

TEST_F(FwpkgBuildTest, RefusesWhatCannotBeLoaded) {
    const struct Case {
        const char* what;
        void (*edit)(Manifest&);
    } cases[] = {
        {"final page beyond the firmware",
         [](Manifest& m) { m.images[0].finalPageOffset = 5 * 256; }},
        {"page size not a multiple of 64", [](Manifest& m) { m.images[0].pageSize = 100; }},
        {"package smaller than the image", [](Manifest& m) { m.packageSize = 1000; }},
        {"configuration below 444 bytes", [](Manifest& m) { m.configSize = 443; }},
        {"update identifier wider than 16 bits",
         [](Manifest& m) { m.images[0].updateId = 0x10313; }},
    };
    std::string error;
    for (const auto& c : cases) {
        auto bad = manifest;
        c.edit(bad);
        EXPECT_FALSE(BuildRecords(bad, {firmware}, error)) << c.what;
    }
    EXPECT_NE(error.find("does not fit 16 bits"), std::string::npos) << error;
    EXPECT_FALSE(BuildRecords(manifest, {std::vector<std::uint8_t>(300)}, error));

    const auto records = *BuildRecords(manifest, {firmware}, error);
    auto config = records.config;
    config.resize(300);
    EXPECT_FALSE(CheckRecords(config, records.package, error));
    EXPECT_FALSE(CheckRecords(records.config, std::span(records.package).first(1000), error));
}

TEST_F(FwpkgBuildTest, RecordsThatDisagreeWithTheirHeadersAreReported) {
    std::string error;
    const auto records = *BuildRecords(manifest, {firmware}, error);
    auto loaded = *CheckRecords(records.config, records.package, error);
    EXPECT_TRUE(RecordDisagreements(loaded.config, loaded.images).empty());

    // A record edited apart from its package: each field is named.
    loaded.config.updateId[0] = 0x314;
    loaded.config.version[0] = 0x01500001;
    loaded.config.hasSubVersion[0] = 0;
    const auto lines = RecordDisagreements(loaded.config, loaded.images);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "image 0: record update identifier 0x314, header 0x313");
    EXPECT_EQ(lines[1], "image 0: record version 0x01500001, header 0x01400001");
    EXPECT_EQ(lines[2], "image 0: record sub-version flag 0, header 1");
}

// The udev rules and the AppStream metadata name the same identities, each
// once, in one order; empty slots are left out.
TEST(FwpkgHostFilesTest, RulesAndMetainfoCoverEveryIdentityOnce) {
    PackageConfig config{};
    config.normalIds = {UsbId{0x1234, 0x5678}, UsbId{0x1234, 0x5678}, UsbId{0, 0x0001}};
    config.upgradeId = UsbId{0x1234, 0x20AB};
    const std::vector<UsbId> ids = ControllerIdentities(config);
    EXPECT_EQ(ids, (std::vector<UsbId>{{0x1234, 0x5678},
                                       {UPGRADE_VID, kUpgradePid1},
                                       {UPGRADE_VID, kUpgradePid2},
                                       {0x1234, 0x20AB}}));
    const std::string rules = UdevRules(config);
    EXPECT_NE(rules.find("ATTRS{idVendor}==\"1234\", ATTRS{idProduct}==\"20ab\""),
              std::string::npos);
    EXPECT_EQ(std::count(rules.begin(), rules.end(), '\n'), 3 + 2 * 4);

    const auto xml = Metainfo(config, "<provides>\n    @MODALIASES@\n</provides>\n");
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, Format("<provides>\n"
                           "    <modalias>usb:v1234p5678d*</modalias>\n"
                           "    <modalias>usb:v%04Xp%04Xd*</modalias>\n"
                           "    <modalias>usb:v%04Xp%04Xd*</modalias>\n"
                           "    <modalias>usb:v1234p20ABd*</modalias>\n"
                           "</provides>\n",
                           unsigned{UPGRADE_VID}, unsigned{kUpgradePid1}, unsigned{UPGRADE_VID},
                           unsigned{kUpgradePid2}));
    EXPECT_FALSE(Metainfo(config, "<provides/>\n"));
    EXPECT_FALSE(Metainfo(config, "<provides>@MODALIASES@</provides>\n"));
}

}  // namespace
}  // namespace fwu::pkg
