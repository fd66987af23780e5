#include "tests/support/package.h"

#include <stdexcept>

#include "demo_manifest.h"

namespace fwu::test {

pkg::Manifest DemoManifest() {
    std::string error;
    auto manifest = pkg::ParseManifest(kDemoManifest, error);
    if (!manifest) throw std::runtime_error("demo manifest: " + error);
    return *manifest;
}

Package MakePackage(const pkg::Manifest& manifest,
                    std::vector<std::vector<std::uint8_t>> firmware) {
    std::string error;
    auto records = pkg::BuildRecords(manifest, firmware, error);
    if (!records) throw std::runtime_error("records: " + error);
    auto loaded = pkg::CheckRecords(records->config, records->package, error);
    if (!loaded) throw std::runtime_error("check: " + error);
    return Package{manifest, std::move(firmware), std::move(*records), loaded->config,
                   loaded->images};
}

pkg::Manifest DemoManifestLaidOut(const std::vector<ImageLayout>& layouts) {
    pkg::Manifest manifest = DemoManifest();
    if (layouts.size() > manifest.images.size()) throw std::runtime_error("too many layouts");
    manifest.images.resize(layouts.size());
    manifest.packageSize = 0;
    for (std::size_t k = 0; k < layouts.size(); ++k) {
        pkg::ImageEntry& image = manifest.images[k];
        image.pageSize = layouts[k].pageSize;
        image.baseAddress = layouts[k].baseAddress;
        image.finalPageOffset = layouts[k].finalPageOffset;
        image.demoPages = layouts[k].pages;
        image.demoErasedPage.reset();
    }
    return manifest;
}

Package MakeDemoPackage(const pkg::Manifest& manifest) {
    std::vector<std::vector<std::uint8_t>> firmware;
    std::string error;
    for (std::size_t k = 0; k < manifest.images.size(); ++k) {
        auto fw = pkg::DemoFirmware(manifest, k, error);
        if (!fw) throw std::runtime_error("demo firmware: " + error);
        firmware.push_back(std::move(*fw));
    }
    return MakePackage(manifest, std::move(firmware));
}

const Package& DefaultPackage() {
    static const Package package = MakeDemoPackage(DemoManifest());
    return package;
}

const Package& OneImagePackage() {
    static const Package package = [] {
        pkg::Manifest manifest = DemoManifest();
        manifest.images.resize(1);
        manifest.packageSize = 0;
        return MakeDemoPackage(manifest);
    }();
    return package;
}

}  // namespace fwu::test
