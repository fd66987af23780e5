// Packages for tests, built in memory from the demo manifest the tool ships
// with (generated into demo_manifest.h at configure time, so that no test
// needs a file at run time; the Windows build runs them under Wine).
#pragma once

#include <cstdint>
#include <vector>

#include "package/package.h"
#include "tools/fwpkg/fwpkg.h"

namespace fwu::test {

// The two embedded records.
using Records = pkg::Records;

struct Package {
    pkg::Manifest manifest;
    std::vector<std::vector<std::uint8_t>> firmware;  // plain bytes per image
    Records records;
    PackageConfig config;
    UpdatePackage images;
};

// The demo manifest, parsed (throws when it does not parse).
pkg::Manifest DemoManifest();
// Where an image lies and how many pages of demo firmware it has.
struct ImageLayout {
    std::uint32_t pageSize = 0;
    std::uint32_t baseAddress = 0;
    std::uint32_t finalPageOffset = 0;
    std::uint32_t pages = 0;
};
// The demo manifest with its first images laid out as given, one layout per
// image kept, none with a page left erased: small packages for quick runs.
pkg::Manifest DemoManifestLaidOut(const std::vector<ImageLayout>& layouts);
// A package from `manifest` with the given plain firmware (throws on error).
Package MakePackage(const pkg::Manifest& manifest, std::vector<std::vector<std::uint8_t>> firmware);
// A package from `manifest` with the demo firmware it describes.
Package MakeDemoPackage(const pkg::Manifest& manifest);

// The shipped two-image package, and the same with its first image only.
const Package& DefaultPackage();
const Package& OneImagePackage();

inline const Records& ShippedRecords() {
    return DefaultPackage().records;
}
inline const Records& OneImageRecords() {
    return OneImagePackage().records;
}
inline const PackageConfig& ShippedConfig() {
    return DefaultPackage().config;
}
inline const UpdatePackage& ShippedImages() {
    return DefaultPackage().images;
}

}  // namespace fwu::test
