#include "tools/fwpkg/fwpkg.h"

#include <algorithm>
#include <charconv>

#include "base/bytes.h"
#include "base/text.h"
#include "device/DeviceManager.h"
#include "package/version_block.h"

namespace fwu::pkg {
namespace {

std::string_view Trim(std::string_view s) {
    return fwu::Trim(s, " \t\r");
}

std::optional<std::uint64_t> ParseNumber(std::string_view s) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc{} || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

// Two FNV-1a 64-bit passes with different offsets give a 16-byte digest;
// the controller treats the header's opaque field and the trailer as opaque,
// so any deterministic value serves.
void Digest16(std::span<const std::uint8_t> data, std::uint8_t* out) {
    std::uint64_t a = 0xCBF29CE484222325ull, b = 0x84222325CBF29CE4ull;
    for (std::uint8_t byte : data) {
        a = (a ^ byte) * 0x100000001B3ull;
        b = (b ^ static_cast<std::uint8_t>(~byte)) * 0x100000001B3ull;
    }
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(a >> (8 * i));
        out[8 + i] = static_cast<std::uint8_t>(b >> (8 * i));
    }
}

constexpr std::size_t kOpaqueOffset = 0x20;
constexpr std::size_t kOpaqueSize = 16;
constexpr std::size_t kTrailerSize = 16;
constexpr std::uint64_t kMaxRecordSize = 0x10000000;

}  // namespace

std::optional<Manifest> ParseManifest(std::string_view text, std::string& error) {
    Manifest m;
    int normalCount = 0;
    int lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (const auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        line = Trim(line);
        if (line.empty()) continue;
        auto fail = [&](const std::string& what) {
            error = Format("line %d: %s", lineNo, what.c_str());
            return std::nullopt;
        };
        if (line == "[image]") {
            if (m.images.size() == static_cast<std::size_t>(kMaxImages))
                return fail("more than 8 images");
            m.images.emplace_back();
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) return fail("expected key = value");
        const std::string key(Trim(line.substr(0, eq)));
        const std::string_view value = Trim(line.substr(eq + 1));

        if (key == "product_name") {
            m.productName = std::string(value);
            continue;
        }
        if (key == "firmware") {
            if (m.images.empty()) return fail("firmware outside an [image] section");
            m.images.back().firmware = std::string(value);
            continue;
        }
        // Every other key holds one or two numbers.
        std::vector<std::uint64_t> nums;
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto sp = rest.find_first_of(" \t");
            const auto word = rest.substr(0, sp);
            const auto n = ParseNumber(word);
            if (!n) return fail("bad number '" + std::string(word) + "'");
            nums.push_back(*n);
            rest = sp == std::string_view::npos ? std::string_view{} : Trim(rest.substr(sp));
        }
        auto pair = [&](UsbId& id) -> bool {
            if (nums.size() != 2 || nums[0] > 0xFFFF || nums[1] > 0xFFFF) return false;
            id = UsbId{static_cast<std::uint16_t>(nums[0]), static_cast<std::uint16_t>(nums[1])};
            return true;
        };
        if (key == "normal_id") {
            if (normalCount == 3) return fail("more than 3 normal_id lines");
            if (!pair(m.normalIds[normalCount++])) return fail("normal_id needs VID PID");
            continue;
        }
        if (key == "upgrade_id") {
            if (!pair(m.upgradeId)) return fail("upgrade_id needs VID PID");
            continue;
        }
        if (nums.size() != 1) return fail("'" + key + "' needs one number");
        const std::uint64_t n = nums[0];
        if (key == "config_size" || key == "package_size") {
            // A larger record is a typo that would only exhaust memory.
            if (n > kMaxRecordSize) return fail("'" + key + "' above 256 MiB");
            (key == "config_size" ? m.configSize : m.packageSize) = n;
            continue;
        }
        if (m.images.empty()) return fail("unknown key '" + key + "'");
        ImageEntry& img = m.images.back();
        const bool fits16 = n <= 0xFFFF, fits32 = n <= 0xFFFFFFFFu;
        if (key == "update_id" && n > 0xFFFF) {
            return fail("update_id above 0xFFFF: controllers report 16 bits");
        } else if (key == "update_id") {
            img.updateId = static_cast<std::uint32_t>(n);
        } else if (key == "version" && fits16) {
            img.fwVersion = static_cast<std::uint16_t>(n);
        } else if (key == "sub_version" && fits16) {
            img.subVersion = static_cast<std::uint16_t>(n);
        } else if (key == "has_sub_version" && n <= 0xFF) {
            img.hasSubVersion = static_cast<std::uint8_t>(n);
        } else if (key == "page_size" && fits32) {
            img.pageSize = static_cast<std::uint32_t>(n);
        } else if (key == "base_address" && fits32) {
            img.baseAddress = static_cast<std::uint32_t>(n);
        } else if (key == "final_page_offset" && fits32) {
            img.finalPageOffset = static_cast<std::uint32_t>(n);
        } else if (key == "demo_pages" && fits32) {
            img.demoPages = static_cast<std::uint32_t>(n);
        } else if (key == "demo_erased_page" && fits32) {
            img.demoErasedPage = static_cast<std::uint32_t>(n);
        } else {
            return fail("unknown key or value out of range: '" + key + "'");
        }
    }
    if (m.images.empty()) {
        error = "no [image] section";
        return std::nullopt;
    }
    return m;
}

std::optional<std::vector<std::uint8_t>> BuildImage(const ImageEntry& entry,
                                                    std::span<const std::uint8_t> plain,
                                                    std::string& error) {
    if (entry.pageSize == 0 || entry.pageSize % 64 != 0) {
        error = Format("page size %u is not a non-zero multiple of 64", entry.pageSize);
        return std::nullopt;
    }
    if (plain.empty() || plain.size() % entry.pageSize != 0 || plain.size() > 0x7FFFFFFFu) {
        error = Format("firmware of %llu bytes is not a whole number of %u-byte pages",
                       static_cast<unsigned long long>(plain.size()), entry.pageSize);
        return std::nullopt;
    }
    const auto dataSize = static_cast<std::uint32_t>(plain.size());
    const std::uint32_t pages = dataSize / entry.pageSize;
    if (entry.finalPageOffset / entry.pageSize >= pages) {
        error =
            Format("final page offset 0x%X lies beyond the %u pages", entry.finalPageOffset, pages);
        return std::nullopt;
    }
    const std::size_t tableEnd = kImageHeaderSize + 4 * std::size_t{pages};
    const std::size_t dataEnd = tableEnd + dataSize;
    const std::size_t filled = (dataEnd + 15) / 16 * 16;
    std::vector<std::uint8_t> out(filled + kTrailerSize, 0);

    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < pages; ++i) {
        const std::uint32_t address = entry.baseAddress + i * entry.pageSize;
        const auto src = plain.subspan(std::size_t{i} * entry.pageSize, entry.pageSize);
        std::uint32_t sum = 0;
        for (std::uint8_t b : src) sum += b;
        StoreLe32(out.data() + kImageHeaderSize + 4 * std::size_t{i}, sum);
        total += sum;
        ScramblePage(
            address, src,
            std::span(out).subspan(tableEnd + std::size_t{i} * entry.pageSize, entry.pageSize));
    }
    ImageHeader h;
    h.updateId = entry.updateId;
    h.fwVersion = entry.fwVersion;
    h.dataSize = dataSize;
    h.pageSize = entry.pageSize;
    h.baseAddress = entry.baseAddress;
    h.finalPageOffset = entry.finalPageOffset;
    h.checksumTotal = total;
    h.subVersion = entry.subVersion;
    h.hasSubVersion = entry.hasSubVersion;
    h.Serialize(out.data());
    Digest16(plain, out.data() + kOpaqueOffset);
    static_assert(kOpaqueOffset + kOpaqueSize <= 0x30);
    Digest16(std::span(out).first(filled), out.data() + filled);
    return out;
}

std::optional<Records> BuildRecords(const Manifest& manifest,
                                    const std::vector<std::vector<std::uint8_t>>& firmware,
                                    std::string& error) {
    if (manifest.images.empty() || manifest.images.size() > static_cast<std::size_t>(kMaxImages) ||
        firmware.size() != manifest.images.size()) {
        error = "need 1 to 8 images, each with its firmware";
        return std::nullopt;
    }
    if (manifest.configSize < kConfigMinSize) {
        error = Format("config_size must be at least %llu",
                       static_cast<unsigned long long>(kConfigMinSize));
        return std::nullopt;
    }
    PackageConfig config;
    config.productName = Utf8ToUtf16(manifest.productName);
    if (config.productName.size() > 127) {
        error = "product name longer than 127 UTF-16 code units";
        return std::nullopt;
    }
    config.normalIds = manifest.normalIds;
    config.upgradeId = manifest.upgradeId;
    config.imageCount = static_cast<std::uint32_t>(manifest.images.size());

    Records records;
    records.package.assign(kPackageImagesOffset, 0x56);
    for (std::size_t k = 0; k < manifest.images.size(); ++k) {
        const ImageEntry& entry = manifest.images[k];
        std::string why;
        const auto image = BuildImage(entry, firmware[k], why);
        if (!image) {
            error = Format("image %llu: %s", static_cast<unsigned long long>(k), why.c_str());
            return std::nullopt;
        }
        config.imageSize[k] = static_cast<std::uint32_t>(image->size());
        config.updateId[k] = entry.updateId;
        config.version[k] = (std::uint32_t{entry.fwVersion} << 16) | entry.subVersion;
        config.pageCount[k] = static_cast<std::uint32_t>(firmware[k].size() / entry.pageSize);
        config.hasSubVersion[k] = entry.hasSubVersion;
        records.package.insert(records.package.end(), image->begin(), image->end());
    }
    // Longer than 200 bytes so that the updater does not take it for missing.
    const std::size_t minimum = std::max<std::size_t>(records.package.size(), 201);
    const std::size_t size = manifest.packageSize == 0 ? minimum : manifest.packageSize;
    if (size < minimum) {
        error =
            Format("package_size %llu is below the %llu bytes the images need",
                   static_cast<unsigned long long>(size), static_cast<unsigned long long>(minimum));
        return std::nullopt;
    }
    records.package.resize(size, 0);
    records.config = config.Serialize(manifest.configSize);
    // The two records must describe the same images; refuse them otherwise.
    std::string why;
    if (const auto loaded = CheckRecords(records.config, records.package, why); !loaded) {
        error = why;
        return std::nullopt;
    } else if (const auto differences = RecordDisagreements(loaded->config, loaded->images);
               !differences.empty()) {
        error = differences.front();
        return std::nullopt;
    }
    return records;
}

std::vector<std::string> RecordDisagreements(const PackageConfig& config,
                                             const UpdatePackage& images) {
    std::vector<std::string> out;
    const std::uint32_t count = std::min<std::uint32_t>(config.imageCount, kMaxImages);
    for (std::uint32_t k = 0; k < count; ++k) {
        const auto header = ImageHeader::Parse(images[k]);
        if (!header) {
            out.push_back(Format("image %u: no image header", k));
            continue;
        }
        if (config.updateId[k] > 0xFFFF)
            out.push_back(Format("image %u: record update identifier 0x%X does not fit 16 bits", k,
                                 config.updateId[k]));
        if (header->updateId > 0xFFFF)
            out.push_back(Format("image %u: header update identifier 0x%X does not fit 16 bits", k,
                                 header->updateId));
        if (config.updateId[k] != header->updateId)
            out.push_back(Format("image %u: record update identifier 0x%X, header 0x%X", k,
                                 config.updateId[k], header->updateId));
        // The worker compares (fwVersion << 16) | subVersion in 32 bits.
        const std::uint32_t headerVersion = (header->fwVersion << 16) | header->subVersion;
        if (config.version[k] != headerVersion)
            out.push_back(Format("image %u: record version 0x%08X, header 0x%08X", k,
                                 config.version[k], headerVersion));
        if (config.hasSubVersion[k] != header->hasSubVersion)
            out.push_back(Format("image %u: record sub-version flag %u, header %u", k,
                                 unsigned{config.hasSubVersion[k]},
                                 unsigned{header->hasSubVersion}));
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> DemoFirmware(const Manifest& manifest, std::size_t k,
                                                      std::string& error) {
    if (k >= manifest.images.size()) {
        error = "no such image";
        return std::nullopt;
    }
    const ImageEntry& entry = manifest.images[k];
    const std::uint64_t size = std::uint64_t{entry.demoPages} * entry.pageSize;
    if (size == 0 || size > 0x10000000u) {
        error = Format("image %llu: demo_pages and page_size must give 1 byte to 256 MiB",
                       static_cast<unsigned long long>(k));
        return std::nullopt;
    }
    std::vector<std::uint8_t> fw(size);
    std::uint64_t state = 0x2545F4914F6CDD1Dull ^ (std::uint64_t{entry.updateId} << 32);
    for (auto& b : fw) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<std::uint8_t>(state >> 56);
    }
    if (entry.demoErasedPage) {
        if (*entry.demoErasedPage >= entry.demoPages) {
            error = "demo_erased_page beyond demo_pages";
            return std::nullopt;
        }
        std::fill_n(fw.begin() + std::size_t{*entry.demoErasedPage} * entry.pageSize,
                    entry.pageSize, std::uint8_t{0xFF});
    }
    // The version block sits at device address baseAddress + finalPageOffset,
    // i.e. finalPageOffset bytes into the image's plain data.
    const std::size_t at = entry.finalPageOffset;
    if (at > fw.size() || fw.size() - at < kVersionBlockSize) {
        error = "final_page_offset leaves no room for the version block";
        return std::nullopt;
    }
    std::uint8_t* vb = fw.data() + at;
    std::fill_n(vb, kVersionBlockSize, std::uint8_t{0});
    std::copy(std::begin(kVersionBlockMagic), std::end(kVersionBlockMagic), vb);
    StoreLe16(vb + 4, static_cast<std::uint16_t>(entry.updateId));
    StoreLe16(vb + 6, entry.fwVersion);
    StoreLe16(vb + 8, entry.subVersion);
    return fw;
}

std::optional<LoadedRecords> CheckRecords(std::span<const std::uint8_t> config,
                                          std::span<const std::uint8_t> package,
                                          std::string& error) {
    LoadedRecords r;
    const auto parsed = PackageConfig::Parse(config);
    if (!parsed) {
        error =
            "configuration record is shorter than 444 bytes, has no NUL in the product "
            "name or an image count outside 1..8";
        return std::nullopt;
    }
    r.config = *parsed;
    auto images = SplitPackageRecord(r.config, package);
    if (!images) {
        error =
            "update package is 200 bytes or shorter, or an image runs past its end or "
            "breaks the image layout";
        return std::nullopt;
    }
    r.images = std::move(*images);
    return r;
}

std::string EmbedSource(std::span<const std::uint8_t> config,
                        std::span<const std::uint8_t> package) {
    std::string out =
        "// Generated by fwpkg from the configuration record and the update package.\n"
        "#include <cstddef>\n\nnamespace {\n";
    auto emit = [&out](const char* name, std::span<const std::uint8_t> bytes) {
        std::size_t stored = bytes.size();
        while (stored > 0 && bytes[stored - 1] == 0) --stored;
        out += Format("const unsigned char %s[] = {", name);
        for (std::size_t i = 0; i < std::max<std::size_t>(stored, 1); ++i) {
            if (i % 24 == 0) out += "\n";
            out += Format("%u,", i < stored ? bytes[i] : 0u);
        }
        out += Format("\n};\nconstexpr std::size_t %sStored = %llu;\n", name,
                      static_cast<unsigned long long>(stored));
        out += Format("constexpr std::size_t %sSize = %llu;\n", name,
                      static_cast<unsigned long long>(bytes.size()));
    };
    emit("kConfig", config);
    emit("kPackage", package);
    out += Format(
        "}  // namespace\n\n"
        "extern \"C\" const unsigned char* fwu_embedded_record(int id, std::size_t* stored,\n"
        "                                                      std::size_t* size) {\n"
        "    if (id == %d) {\n"
        "        *stored = kConfigStored;\n"
        "        *size = kConfigSize;\n"
        "        return kConfig;\n"
        "    }\n"
        "    if (id == %d) {\n"
        "        *stored = kPackageStored;\n"
        "        *size = kPackageSize;\n"
        "        return kPackage;\n"
        "    }\n"
        "    return nullptr;\n"
        "}\n",
        kConfigRecordId, kPackageRecordId);
    return out;
}

std::vector<UsbId> ControllerIdentities(const PackageConfig& config) {
    std::vector<UsbId> ids;
    auto add = [&ids](UsbId id) {
        if (id.BothNonZero() && std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    };
    for (const UsbId& id : config.normalIds) add(id);
    add({UPGRADE_VID, kUpgradePid1});
    add({UPGRADE_VID, kUpgradePid2});
    add(config.upgradeId);
    return ids;
}

std::string UdevRules(const PackageConfig& config) {
    std::string text =
        "# Access to the game controller for FirmwareUpgrade, in normal and in upgrade mode:\n"
        "# the user at the seat (uaccess) and members of the plugdev group may open it.\n"
        "# Generated from the tool's configuration record by fwpkg udev-rules.\n";
    for (const UsbId& id : ControllerIdentities(config)) {
        const std::string vid = Format("%04x", unsigned{id.vid});
        const std::string pid = Format("%04x", unsigned{id.pid});
        text += "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" + vid + "\", ATTRS{idProduct}==\"" +
                pid + "\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"\n";
        text += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + vid +
                "\", ATTR{idProduct}==\"" + pid +
                "\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"\n";
    }
    return text;
}

std::optional<std::string> Metainfo(const PackageConfig& config,
                                    std::string_view metainfoTemplate) {
    const std::string_view placeholder = "@MODALIASES@";
    const std::size_t at = metainfoTemplate.find(placeholder);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t lineStart = metainfoTemplate.rfind('\n', at) + 1;  // npos + 1 == 0
    const std::string_view indent = metainfoTemplate.substr(lineStart, at - lineStart);
    if (indent.find_first_not_of(" \t") != std::string_view::npos) return std::nullopt;
    std::string entries;
    for (const UsbId& id : ControllerIdentities(config)) {
        if (!entries.empty()) {
            entries += '\n';
            entries += indent;
        }
        entries +=
            Format("<modalias>usb:v%04Xp%04Xd*</modalias>", unsigned{id.vid}, unsigned{id.pid});
    }
    std::string text(metainfoTemplate);
    text.replace(at, placeholder.size(), entries);
    return text;
}

}  // namespace fwu::pkg
