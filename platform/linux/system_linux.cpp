// System services on Linux.
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "base/ini.h"
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

// The start of a regular file, or "" for anything else. Opened without
// blocking, so that a FIFO or a device planted under the settings file's name
// cannot hold start-up (the instance guard is already taken by then).
std::string ReadRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(kMaxIniBytes);
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
    }
    ::close(fd);
    return text;
}

// The home folder of the effective user in the user database.
std::string PasswdHome() {
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr)
        return {};
    return found->pw_dir;
}

class LinuxSystem : public ISystem {
  public:
    std::string ExecutablePath() override { return ReadLink("/proc/self/exe"); }

    std::string ReadIniValue(const std::string& path, const std::string& section,
                             const std::string& key, std::size_t capacity) override {
        return IniLookup(ReadRegularFile(path), section, key, capacity);
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

    bool IsInstalledCopy() override {
        std::string path = ExecutablePath();
        const std::size_t cut = path.rfind('/');
        if (cut == std::string::npos) return false;
        path.resize(cut + 1);
        return IsRegularFile(path + FWU_INSTALLED_MARKER);
    }

    std::optional<std::string> Environment(const std::string& name) override {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    }

    // $HOME as the shell and sudo leave it, else the user database's.
    std::string HomeDirectory() override {
        const char* home = std::getenv("HOME");
        if (home != nullptr && home[0] == '/') return home;
        return PasswdHome();
    }

    bool OwnedByEffectiveUser(const std::string& path) override {
        std::string p = path;
        for (;;) {
            struct stat st {};
            if (::stat(p.c_str(), &st) == 0) return st.st_uid == ::geteuid();
            if (errno != ENOENT) return false;
            // One level up: drop the last name and the separators before it.
            const std::size_t slash = p.rfind('/');
            if (slash == std::string::npos || p == "/") return false;
            const std::size_t end = p.find_last_not_of('/', slash);
            p.resize(end == std::string::npos ? 1 : end + 1);
        }
    }

    std::string AppendLineLocked(const std::string& path, const std::string& line) override {
        return AppendPlatformFileLine(path, line);
    }

    std::string ReadFileLocked(const std::string& path, std::string& content) override {
        return ReadPlatformFileLocked(path, content);
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
