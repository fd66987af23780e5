#include "package/describe.h"

#include "base/text.h"

namespace fwu {
namespace {

std::string IdText(UsbId id) {
    return Format("%04X/%04X", id.vid, id.pid);
}

}  // namespace

std::string DescribePackage(const PackageConfig& config, const UpdatePackage& images) {
    std::string out;
    out += "Product name: " + config.ProductNameUtf8() + "\n";
    out += "Normal-mode identifiers: " + IdText(config.normalIds[0]) + ", " +
           IdText(config.normalIds[1]) + ", " + IdText(config.normalIds[2]) + "\n";
    out += "Upgrade-mode identifier: " + IdText(config.upgradeId) + "\n";
    out += Format("Images: %u\n", config.imageCount);

    std::uint64_t totalUnits = 0;
    const std::uint32_t count = config.imageCount <= kMaxImages ? config.imageCount : 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const PackageImage image(images[k]);
        if (image.empty()) {
            out += Format("Image %u: not loaded\n", k);
            continue;
        }
        const ImageHeader& h = image.header();
        out += Format("Image %u:\n", k);
        out += Format("  update identifier: 0x%X\n", h.updateId);
        out += Format("  version: 0x%04X, sub-version %u (shown: %s)\n", h.fwVersion & 0xFFFFu,
                      h.subVersion, h.hasSubVersion == 1 ? "yes" : "no");
        out += Format("  image size: %llu bytes\n",
                      static_cast<unsigned long long>(image.bytes().size()));
        out += Format("  page size: %u bytes, %u reports per page\n", h.pageSize,
                      image.reportsPerPage());
        out += Format("  base address: 0x%08X\n", h.baseAddress);
        out += Format("  page count: %u\n", image.pageCount());
        out += Format("  final page index: %u (offset 0x%X)\n", image.finalPageIndex(),
                      h.finalPageOffset);
        out += Format("  progress units: %u\n", image.progressUnits());
        out += Format("  checksum total: 0x%08X\n", image.checksumSum());
        totalUnits += image.progressUnits();
    }
    out += Format("Total progress units: %llu\n", static_cast<unsigned long long>(totalUnits));
    return out;
}

}  // namespace fwu
