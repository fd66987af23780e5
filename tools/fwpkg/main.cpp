// fwpkg: builds, describes and embeds the updater's two records.
//   fwpkg build MANIFEST OUTDIR [--firmware-dir DIR]   -> OUTDIR/config.bin, OUTDIR/package.bin
//   fwpkg describe CONFIG PACKAGE
//   fwpkg demo-firmware MANIFEST OUTDIR                -> the manifest's firmware files
//   fwpkg embed-source CONFIG PACKAGE OUT.cpp
//   fwpkg udev-rules CONFIG PACKAGE OUT.rules
//   fwpkg metainfo CONFIG PACKAGE TEMPLATE OUT.xml
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "package/describe.h"
#include "tools/fwpkg/fwpkg.h"

namespace fs = std::filesystem;
using fwu::pkg::Manifest;

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "fwpkg: %s\n", message.c_str());
    return 1;
}

std::optional<std::vector<std::uint8_t>> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool WriteFile(const fs::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

std::optional<Manifest> LoadManifest(const fs::path& path, std::string& error) {
    const auto bytes = ReadFile(path);
    if (!bytes) {
        error = "cannot read " + path.string();
        return std::nullopt;
    }
    std::string why;
    auto m = fwu::pkg::ParseManifest(std::string(bytes->begin(), bytes->end()), why);
    if (!m) error = path.string() + ": " + why;
    return m;
}

int Build(const fs::path& manifestPath, const fs::path& outDir, const fs::path& firmwareDir) {
    std::string error;
    const auto manifest = LoadManifest(manifestPath, error);
    if (!manifest) return Fail(error);
    std::vector<std::vector<std::uint8_t>> firmware;
    for (const auto& image : manifest->images) {
        const fs::path file = firmwareDir / image.firmware;
        auto bytes = ReadFile(file);
        if (!bytes) return Fail("cannot read firmware " + file.string());
        firmware.push_back(std::move(*bytes));
    }
    const auto records = fwu::pkg::BuildRecords(*manifest, firmware, error);
    if (!records) return Fail(error);
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (!WriteFile(outDir / "config.bin", records->config.data(), records->config.size()) ||
        !WriteFile(outDir / "package.bin", records->package.data(), records->package.size()))
        return Fail("cannot write into " + outDir.string());
    return 0;
}

int DemoFirmware(const fs::path& manifestPath, const fs::path& outDir) {
    std::string error;
    const auto manifest = LoadManifest(manifestPath, error);
    if (!manifest) return Fail(error);
    std::error_code ec;
    fs::create_directories(outDir, ec);
    for (std::size_t k = 0; k < manifest->images.size(); ++k) {
        const auto fw = fwu::pkg::DemoFirmware(*manifest, k, error);
        if (!fw) return Fail(error);
        const fs::path file = outDir / manifest->images[k].firmware;
        if (!WriteFile(file, fw->data(), fw->size())) return Fail("cannot write " + file.string());
    }
    return 0;
}

// Both records read and decoded by the updater's rules; nullopt after saying why.
std::optional<fwu::pkg::LoadedRecords> LoadRecords(const fs::path& configPath,
                                                   const fs::path& packagePath) {
    const auto config = ReadFile(configPath);
    if (!config) {
        Fail("cannot read " + configPath.string());
        return std::nullopt;
    }
    const auto package = ReadFile(packagePath);
    if (!package) {
        Fail("cannot read " + packagePath.string());
        return std::nullopt;
    }
    std::string error;
    auto loaded = fwu::pkg::CheckRecords(*config, *package, error);
    if (!loaded) Fail("refusing broken records: " + error);
    return loaded;
}

int Describe(const fs::path& configPath, const fs::path& packagePath) {
    const auto loaded = LoadRecords(configPath, packagePath);
    if (!loaded) return 1;
    const std::string text = fwu::DescribePackage(loaded->config, loaded->images);
    std::fwrite(text.data(), 1, text.size(), stdout);
    // Records the updater loads but that disagree with each other: it would
    // decide from one and write by the other.
    const auto differences = fwu::pkg::RecordDisagreements(loaded->config, loaded->images);
    for (const std::string& line : differences)
        std::fprintf(stderr, "fwpkg: records disagree: %s\n", line.c_str());
    return differences.empty() ? 0 : 1;
}

int EmbedSource(const fs::path& configPath, const fs::path& packagePath, const fs::path& out) {
    const auto config = ReadFile(configPath);
    if (!config) return Fail("cannot read " + configPath.string());
    const auto package = ReadFile(packagePath);
    if (!package) return Fail("cannot read " + packagePath.string());
    const std::string text = fwu::pkg::EmbedSource(*config, *package);
    if (!WriteFile(out, text.data(), text.size())) return Fail("cannot write " + out.string());
    return 0;
}

int UdevRules(const fs::path& configPath, const fs::path& packagePath, const fs::path& out) {
    const auto loaded = LoadRecords(configPath, packagePath);
    if (!loaded) return 1;
    const std::string text = fwu::pkg::UdevRules(loaded->config);
    if (!WriteFile(out, text.data(), text.size())) return Fail("cannot write " + out.string());
    return 0;
}

int Metainfo(const fs::path& configPath, const fs::path& packagePath, const fs::path& templatePath,
             const fs::path& out) {
    const auto loaded = LoadRecords(configPath, packagePath);
    if (!loaded) return 1;
    const auto bytes = ReadFile(templatePath);
    if (!bytes) return Fail("cannot read " + templatePath.string());
    const auto text = fwu::pkg::Metainfo(loaded->config, std::string(bytes->begin(), bytes->end()));
    if (!text) return Fail(templatePath.string() + ": no line holding only @MODALIASES@");
    if (!WriteFile(out, text->data(), text->size())) return Fail("cannot write " + out.string());
    return 0;
}

int Usage() {
    std::fputs(
        "usage: fwpkg build MANIFEST OUTDIR [--firmware-dir DIR]\n"
        "       fwpkg describe CONFIG PACKAGE\n"
        "       fwpkg demo-firmware MANIFEST OUTDIR\n"
        "       fwpkg embed-source CONFIG PACKAGE OUT.cpp\n"
        "       fwpkg udev-rules CONFIG PACKAGE OUT.rules\n"
        "       fwpkg metainfo CONFIG PACKAGE TEMPLATE OUT.xml\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();
    const std::string& cmd = args[0];
    if (cmd == "build" && (args.size() == 3 || (args.size() == 5 && args[3] == "--firmware-dir"))) {
        const fs::path manifest = args[1];
        const fs::path firmwareDir = args.size() == 5 ? fs::path(args[4]) : manifest.parent_path();
        return Build(manifest, args[2], firmwareDir);
    }
    if (cmd == "describe" && args.size() == 3) return Describe(args[1], args[2]);
    if (cmd == "demo-firmware" && args.size() == 3) return DemoFirmware(args[1], args[2]);
    if (cmd == "embed-source" && args.size() == 4) return EmbedSource(args[1], args[2], args[3]);
    if (cmd == "udev-rules" && args.size() == 4) return UdevRules(args[1], args[2], args[3]);
    if (cmd == "metainfo" && args.size() == 5) return Metainfo(args[1], args[2], args[3], args[4]);
    return Usage();
}
