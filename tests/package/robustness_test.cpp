// The loaders against damaged records: the shipped records, built from the
// demo manifest, mutated thousands of times with fixed seeds (flipped bytes,
// 32-bit fields set to awkward values, truncation). Whatever loads must be a
// valid image whose every derived value and page can be read in bounds; the
// sanitizer build turns any stray read into a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "package/describe.h"
#include "package/package.h"
#include "tests/support/package.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

// Configuration fields the loader decodes.
constexpr std::size_t kImageCountAt = 0x130;
constexpr std::size_t kImageSizeAt = 0x134;
constexpr std::size_t kPageCountAt = 0x194;
// Image header fields the derived values follow.
constexpr std::array<std::size_t, 4> kHeaderFields = {0x08, 0x0C, 0x10, 0x14};

constexpr std::array<std::uint32_t, 16> kAwkward = {
    0,     1,      2,          8,          9,          63,         64,         65,
    0x400, 0x1000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFC0, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFF00};

// The demo package with the configuration at its minimum length and the
// package as long as its images need, so that each mutation copies little and
// a truncation usually cuts into an image.
pkg::Records TrimmedDemoRecords() {
    pkg::Manifest manifest = test::DemoManifest();
    manifest.configSize = kConfigMinSize;
    manifest.packageSize = 0;
    return test::MakeDemoPackage(manifest).records;
}

// Reads everything a loaded image offers; the sum only keeps the reads alive.
std::uint64_t TouchImage(const std::vector<std::uint8_t>& buffer) {
    EXPECT_TRUE(PackageImage::Validate(buffer));
    const PackageImage image(buffer);
    EXPECT_FALSE(image.empty());
    const ImageHeader& h = image.header();
    EXPECT_NE(h.pageSize, 0u);
    EXPECT_EQ(h.pageSize % 64, 0u);
    EXPECT_GT(image.pageCount(), 0u);
    EXPECT_LT(image.finalPageIndex(), image.pageCount());
    EXPECT_EQ(image.page(image.finalPageIndex()).size(), h.pageSize);

    std::uint64_t sum = image.reportsPerPage() + image.progressUnits() + image.checksumSum();
    std::uint32_t tableSum = 0;
    for (std::uint32_t i = 0; i <= image.pageCount() + 1; ++i) {
        const auto page = image.page(i);
        if (i >= image.pageCount()) {
            EXPECT_TRUE(page.empty()) << i;
            EXPECT_EQ(image.pageChecksum(i), 0u) << i;
            continue;
        }
        EXPECT_EQ(page.size(), h.pageSize) << i;
        // The page lies inside the image, after the header and the table.
        EXPECT_GE(page.data(), buffer.data() + kImageHeaderSize + 4 * image.pageCount());
        EXPECT_LE(page.data() + page.size(), buffer.data() + buffer.size());
        for (std::uint8_t b : page) sum += b;
        sum += image.pageAddress(i);
        tableSum += image.pageChecksum(i);
    }
    EXPECT_EQ(tableSum, image.checksumSum());
    return sum;
}

class RobustnessTest : public ::testing::Test {
  protected:
    test::FakeSystem sys;
    test::ScopedServices services{{.system = &sys}};
    const pkg::Records base = TrimmedDemoRecords();

    void Serve(std::vector<std::uint8_t> config, std::vector<std::uint8_t> package) {
        sys.records[kConfigRecordId] = std::move(config);
        sys.records[kPackageRecordId] = std::move(package);
    }

    // Loads whatever the fake serves and checks the loaders' promises.
    void LoadAndTouch() {
        PackageConfig config;
        UpdatePackage images;
        std::vector<std::string> boxes;
        const auto box = [&boxes](const std::string& t) { boxes.push_back(t); };
        const bool configLoaded = LoadPackageConfig(config, box);
        const bool loaded = LoadUpdatePackage(config, images, box);
        EXPECT_LE(boxes.size(), 2u);
        if (configLoaded) {
            EXPECT_GE(config.imageCount, 1u);
            EXPECT_LE(config.imageCount, static_cast<std::uint32_t>(kMaxImages));
        } else {
            EXPECT_EQ(config.imageCount, 0u);
        }
        for (std::size_t k = 0; k < images.size(); ++k) {
            if (!loaded || k >= config.imageCount) {
                EXPECT_TRUE(images[k].empty()) << k;
                continue;
            }
            EXPECT_EQ(images[k].size(), config.imageSize[k]) << k;
            TouchImage(images[k]);
        }
        // The account of the records reads the same values.
        EXPECT_FALSE(DescribePackage(config, images).empty());
        ++(loaded ? loads : rejects);
    }

    int loads = 0;
    int rejects = 0;
};

// Random bytes flipped in the configuration block and in the image
// headers and checksum tables, plus a few anywhere in the package.
TEST_F(RobustnessTest, FlippedBytes) {
    Serve(base.config, base.package);
    LoadAndTouch();
    ASSERT_EQ(loads, 1);
    std::mt19937 rng(20240611);
    const auto config = *PackageConfig::Parse(base.config);
    std::vector<std::size_t> imageStart;
    std::size_t at = kPackageImagesOffset;
    for (std::uint32_t k = 0; k < config.imageCount; ++k) {
        imageStart.push_back(at);
        at += config.imageSize[k];
    }
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<std::uint8_t> cfg = base.config;
        std::vector<std::uint8_t> pkg = base.package;
        const int flips = 1 + static_cast<int>(rng() % 6);
        for (int f = 0; f < flips; ++f) {
            const std::uint8_t mask = static_cast<std::uint8_t>(1 + rng() % 255);
            switch (rng() % 5) {
                case 0:  // directory: image count, sizes, identifiers, page counts
                    cfg[kImageCountAt + rng() % (kConfigMinSize - kImageCountAt)] ^= mask;
                    break;
                case 1: {  // an image header
                    const std::size_t start = imageStart[rng() % imageStart.size()];
                    pkg[start + rng() % kImageHeaderSize] ^= mask;
                    break;
                }
                case 2: {  // the first bytes of a checksum table
                    const std::size_t start = imageStart[rng() % imageStart.size()];
                    pkg[start + kImageHeaderSize + rng() % 64] ^= mask;
                    break;
                }
                case 3:  // product name and identifier pairs
                    cfg[kConfigBlockOffset + rng() % (kImageCountAt - kConfigBlockOffset)] ^= mask;
                    break;
                default:
                    pkg[rng() % pkg.size()] ^= mask;
            }
        }
        Serve(std::move(cfg), std::move(pkg));
        LoadAndTouch();
        if (HasFailure()) FAIL() << "iteration " << iter;
    }
    EXPECT_GT(loads, 0);
    EXPECT_GT(rejects, 0);
}

// Sizes, counts and header fields set to boundary or random values, one or
// several at a time, sometimes with the records cut short as well.
TEST_F(RobustnessTest, AwkwardFieldsAndTruncation) {
    std::mt19937 rng(7741);
    const auto config = *PackageConfig::Parse(base.config);
    const auto value = [&](std::uint32_t current) -> std::uint32_t {
        switch (rng() % 4) {
            case 0:
                return kAwkward[rng() % kAwkward.size()];
            case 1:
                return static_cast<std::uint32_t>(rng());
            case 2:  // near the current value, in whole reports
                return current + 64 * (static_cast<std::uint32_t>(rng() % 5)) - 128;
            default:
                return current + (static_cast<std::uint32_t>(rng() % 3)) - 1;
        }
    };
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<std::uint8_t> cfg = base.config;
        std::vector<std::uint8_t> pkg = base.package;
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int c = 0; c < changes; ++c) {
            const std::uint32_t k = rng() % config.imageCount;
            std::size_t start = kPackageImagesOffset;
            for (std::uint32_t j = 0; j < k; ++j) start += config.imageSize[j];
            std::uint8_t* field = nullptr;
            switch (rng() % 4) {
                case 0:
                    field = &cfg[kImageCountAt];
                    break;
                case 1:
                    field = &cfg[kImageSizeAt + 4 * (rng() % kMaxImages)];
                    break;
                case 2:
                    field = &cfg[kPageCountAt + 4 * k];
                    break;
                default:
                    field = &pkg[start + kHeaderFields[rng() % kHeaderFields.size()]];
            }
            StoreLe32(field, value(LoadLe32(field)));
        }
        switch (rng() % 5) {
            case 0:
                pkg.resize(rng() % (pkg.size() + 1));
                break;
            case 1:
                cfg.resize(rng() % (cfg.size() + 1));
                break;
            default:
                break;
        }
        Serve(std::move(cfg), std::move(pkg));
        LoadAndTouch();
        if (HasFailure()) FAIL() << "iteration " << iter;
    }
    EXPECT_GT(loads, 0);
    EXPECT_GT(rejects, 0);
}

// Whole images rebuilt around random headers: any layout that validates can
// be walked page by page, in images that end exactly where the data ends.
TEST_F(RobustnessTest, RandomHeadersOnTightImages) {
    std::mt19937 rng(99);
    int valid = 0;
    for (int iter = 0; iter < 4000; ++iter) {
        std::vector<std::uint8_t> image(kImageHeaderSize + rng() % 2048);
        for (auto& b : image) b = static_cast<std::uint8_t>(rng());
        ImageHeader h;
        h.pageSize = rng() % 2 ? 64u * (rng() % 9) : kAwkward[rng() % kAwkward.size()];
        h.dataSize = rng() % 2 ? h.pageSize * (rng() % 8) : static_cast<std::uint32_t>(rng());
        h.finalPageOffset = rng() % 2 ? rng() % 1024 : kAwkward[rng() % kAwkward.size()];
        h.baseAddress = static_cast<std::uint32_t>(rng());
        h.Serialize(image.data());
        if (!PackageImage::Validate(image)) {
            const PackageImage rejected(image);
            EXPECT_TRUE(rejected.empty());
            EXPECT_EQ(rejected.pageCount(), 0u);
            EXPECT_EQ(rejected.finalPageIndex(), 0u);
            EXPECT_TRUE(rejected.page(0).empty());
            EXPECT_EQ(rejected.pageChecksum(0), 0u);
            continue;
        }
        ++valid;
        TouchImage(image);
        if (HasFailure()) FAIL() << "iteration " << iter;
    }
    EXPECT_GT(valid, 50);
}

}  // namespace
}  // namespace fwu
