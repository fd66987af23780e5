#include "tests/support/files.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>

namespace fwu::test {

namespace {

std::string FromPath(const std::filesystem::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

}  // namespace

std::filesystem::path Utf8Path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

ScratchDir::ScratchDir(const std::string& prefix) {
    // Random per process, counted within it: parallel test programs and
    // several directories of one test never meet.
    static const unsigned run = std::random_device{}();
    static std::atomic<unsigned> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            Utf8Path(prefix + std::to_string(run) + "_" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::Utf8(const std::string& name) const {
    return FromPath(path_ / Utf8Path(name));
}

std::string ReadFileText(const std::string& utf8Path) {
    std::ifstream in(Utf8Path(utf8Path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace fwu::test
