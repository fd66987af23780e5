// The packaging tool's library: a small text manifest describes the
// configuration record and the images of an update package; the tool turns
// plain firmware files into the two records the updater embeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/package.h"

namespace fwu::pkg {

struct ImageEntry {
    std::string firmware;  // file of plain firmware, page data only
    std::uint32_t updateId = 0;
    std::uint16_t fwVersion = 0;
    std::uint16_t subVersion = 0;
    std::uint8_t hasSubVersion = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t baseAddress = 0;
    std::uint32_t finalPageOffset = 0;
    // Demo firmware only: page count and the page left erased (none if unset).
    std::uint32_t demoPages = 0;
    std::optional<std::uint32_t> demoErasedPage;
};

struct Manifest {
    std::string productName;
    std::array<UsbId, 3> normalIds{};
    UsbId upgradeId{};
    std::size_t configSize = 131072;
    std::size_t packageSize = 0;  // 0: as long as the images need (at least 201)
    std::vector<ImageEntry> images;
};

// Lines "key = value"; "#" starts a comment; a line "[image]" opens the next
// image. Numbers are decimal or 0x-prefixed hexadecimal. On failure returns
// nullopt and sets `error` (with the line number).
std::optional<Manifest> ParseManifest(std::string_view text, std::string& error);

struct Records {
    std::vector<std::uint8_t> config;
    std::vector<std::uint8_t> package;
};

// One image as stored in the package: header, checksum table (sum of the
// plain bytes of each page), scrambled pages, fill to 16 and trailer.
std::optional<std::vector<std::uint8_t>> BuildImage(const ImageEntry& entry,
                                                    std::span<const std::uint8_t> plain,
                                                    std::string& error);

// Both records; `firmware[k]` is the plain firmware of image k.
std::optional<Records> BuildRecords(const Manifest& manifest,
                                    const std::vector<std::vector<std::uint8_t>>& firmware,
                                    std::string& error);

// Deterministic demo firmware for image `k` of the manifest: pseudo-random
// bytes, the version block at baseAddress + finalPageOffset, the erased page
// all 0xFF.
std::optional<std::vector<std::uint8_t>> DemoFirmware(const Manifest& manifest, std::size_t k,
                                                      std::string& error);

// Decode two records by the updater's own rules; nullopt with `error` when
// the updater would not load them.
struct LoadedRecords {
    PackageConfig config;
    UpdatePackage images;
};
std::optional<LoadedRecords> CheckRecords(std::span<const std::uint8_t> config,
                                          std::span<const std::uint8_t> package,
                                          std::string& error);

// Every USB identity the tool looks for, each once: the configuration's
// normal-mode identities, the built-in upgrade-mode ones and the
// configuration's upgrade identity.
std::vector<UsbId> ControllerIdentities(const PackageConfig& config);

// udev rules that let the seated user (uaccess) and members of the plugdev
// group open the controller under every identity of ControllerIdentities.
// Both the hidraw node and the USB device node (string descriptors, requests
// on the control pipe).
std::string UdevRules(const PackageConfig& config);

// AppStream metadata from a template: the placeholder "@MODALIASES@", with
// nothing but blanks before it on its line, becomes one <modalias> entry per identity of
// ControllerIdentities ("usb:vVVVVpPPPPd*"), so that a software centre can
// offer the tool when the controller is plugged in. nullopt without it.
std::optional<std::string> Metainfo(const PackageConfig& config, std::string_view metainfoTemplate);

// Where the configuration record and the image headers of the package
// disagree, one line per difference (empty when they agree): the update
// identifier, the version and sub-version, and the sub-version flag of every
// image, and identifiers that do not fit the 16 bits a controller reports.
// The updater's button decides from the record and its worker from the
// header, so a disagreement can skip an image and still report success.
std::vector<std::string> RecordDisagreements(const PackageConfig& config,
                                             const UpdatePackage& images);

// C++ source that carries both records (trailing zero bytes are not stored
// but restored on load) and defines fwu_embedded_record().
std::string EmbedSource(std::span<const std::uint8_t> config,
                        std::span<const std::uint8_t> package);

}  // namespace fwu::pkg
