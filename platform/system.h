// The small set of operating-system services the core needs besides HID
// access. One implementation per platform lives in platform/linux and
// platform/windows; tests install fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fwu {

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Held for exactly as long as it lives; see ISystem::AcquireSingleInstance.
class IInstanceGuard {
  public:
    virtual ~IInstanceGuard() = default;
};

enum class InstanceResult { Acquired, AlreadyRunning, NoGuard };

class ISystem {
  public:
    virtual ~ISystem() = default;

    // Full path of the running executable (UTF-8), or "" when unavailable.
    virtual std::string ExecutablePath() = 0;

    // Value of `key` in `section` of the INI file `path`, as the platform's
    // INI reader returns it (section and key matched regardless of case,
    // blanks around the value and one pair of enclosing quotes dropped),
    // limited to `capacity` - 1 characters; "" when anything is missing.
    virtual std::string ReadIniValue(const std::string& path, const std::string& section,
                                     const std::string& key, std::size_t capacity) = 0;

    // The computer's name, "" on failure.
    virtual std::string ComputerName() = 0;

    // Bytes of embedded record `id` (137 configuration, 138 package) of type
    // "KVT_UPDATE_PKG"; nullopt when it is missing or cannot be loaded.
    virtual std::optional<std::vector<std::uint8_t>> LoadRecord(int id) = 0;

    virtual LocalTime Now() = 0;

    // Take the single-instance guard named `name` for the logged-on user.
    // `guard` receives the held guard on Acquired (keep it alive for the
    // life of the process); AlreadyRunning when another process holds it;
    // NoGuard when no guard could be made (the tool then starts anyway).
    virtual InstanceResult AcquireSingleInstance(const std::string& name,
                                                 std::unique_ptr<IInstanceGuard>& guard) = 0;

    // Where an installed copy keeps its files. The defaults describe a copy
    // that knows nothing of its surroundings: portable, no environment, no home.

    // Whether this copy was installed (`cmake --install`, a package, the
    // Windows installer): the marker those put near the executable is there.
    // A copy run from its build folder or copied by hand is portable.
    virtual bool IsInstalledCopy() { return false; }

    // The value of the environment variable `name` (UTF-8); nullopt when unset.
    virtual std::optional<std::string> Environment(const std::string& name) {
        (void)name;
        return std::nullopt;
    }

    // The effective user's home folder, "" when unknown.
    virtual std::string HomeDirectory() { return {}; }

    // Whether `path`, or where it does not exist yet the nearest folder above
    // it that does, belongs to the effective user: a folder the process may
    // fill without leaving files of its own in another user's home (sudo).
    virtual bool OwnedByEffectiveUser(const std::string& path) {
        (void)path;
        return false;
    }

    // Whether `path` is a regular file (following symbolic links).
    virtual bool IsRegularFile(const std::string& path);

    // Files several processes append to (the update history). Each append
    // adds `line` and a line feed to the file `path` (UTF-8; created when
    // missing) as one whole line, under the file's exclusive lock: when the
    // file's last byte is not a line feed (a line cut off by a power loss)
    // a line feed goes first, so the new line stands on its own. The data
    // is on the disk before it returns. "" on success, otherwise what went
    // wrong. The base implementation keeps nothing.
    virtual std::string AppendLineLocked(const std::string& path, const std::string& line);
    // The whole file `path`, read under its shared lock into `content`; a
    // file that does not exist reads as empty. "" on success, otherwise what
    // went wrong.
    virtual std::string ReadFileLocked(const std::string& path, std::string& content);
};

// The process-wide system services. Set once at start-up (or by a test).
ISystem& System();
void SetSystem(ISystem* system);

// The directory separator of the platform the core is built for.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace fwu
