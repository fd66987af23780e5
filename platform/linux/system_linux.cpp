// System services on Linux.
#include <limits.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/ini.h"
#include "platform/platform.h"

namespace fwu {
namespace {

// Settings files are a few lines; anything past this is not read.
constexpr std::size_t kMaxIniBytes = 1 << 20;

std::string ReadLink(const char* link) {
    std::vector<char> buf(256);
    while (buf.size() <= 65536) {
        const ssize_t n = ::readlink(link, buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
    return {};
}

class LinuxSystem : public ISystem {
  public:
    std::string ExecutablePath() override { return ReadLink("/proc/self/exe"); }

    std::string ReadIniValue(const std::string& path, const std::string& section,
                             const std::string& key, std::size_t capacity) override {
        std::ifstream in(path, std::ios::binary);
        if (!in) return {};
        std::string text(kMaxIniBytes, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        return IniLookup(text, section, key, capacity);
    }

    std::string ComputerName() override {
        char name[256] = {};
        if (::gethostname(name, sizeof(name) - 1) != 0) return {};
        return name;
    }

    std::optional<std::vector<std::uint8_t>> LoadRecord(int id) override {
        return LoadEmbeddedRecord(id);
    }

    LocalTime Now() override {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        if (::localtime_r(&now, &tm) == nullptr) return {};
        return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                         tm.tm_hour,        tm.tm_min,     tm.tm_sec};
    }

    InstanceResult AcquireSingleInstance(const std::string& name,
                                         std::unique_ptr<IInstanceGuard>& guard) override {
        return AcquirePlatformInstanceGuard(name, guard);
    }
};

class LinuxSleeper : public ISleeper {
  public:
    void Sleep(std::uint32_t ms) override { SliceSleep(ms); }
};

}  // namespace

std::unique_ptr<ISystem> CreatePlatformSystem() {
    return std::make_unique<LinuxSystem>();
}

std::unique_ptr<ISleeper> CreatePlatformSleeper() {
    return std::make_unique<LinuxSleeper>();
}

}  // namespace fwu
