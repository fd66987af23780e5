#include "app/locations.h"

#include <filesystem>
#include <system_error>

#include "app/settings.h"
#include "platform/system.h"

namespace fwu {
namespace {

namespace fs = std::filesystem;

std::string g_logDirOverride;

fs::path FsPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool IsSeparator(char c) {
    return c == '/' || (kPathSeparator == '\\' && c == '\\');
}

// Only absolute folders count: a relative one would depend on where the tool
// happens to be started (the XDG rules ignore them for the same reason).
bool IsAbsolute(const std::string& path) {
    if (kPathSeparator == '/') return !path.empty() && path[0] == '/';
    if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) return true;
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);  // \\server\share
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
    return path;
}

// `variable` names the base folder; where it is unset, empty or relative the
// base is `homeRelative` inside the home folder (Linux only: the Windows
// variables are always set by the system).
std::string UserFolder(const char* variable, const char* homeRelative) {
    ISystem& system = System();
    std::string base;
    if (const std::optional<std::string> value = system.Environment(variable);
        value && IsAbsolute(*value)) {
        base = *value;
    } else if (homeRelative != nullptr) {
        const std::string home = system.HomeDirectory();
        if (!IsAbsolute(home)) return {};
        base = WithoutTrailingSeparators(home) + kPathSeparator + homeRelative;
    } else {
        return {};
    }
    const std::string dir = WithoutTrailingSeparators(base) + kPathSeparator + kUserFolderName;
    return system.OwnedByEffectiveUser(dir) ? dir : std::string();
}

}  // namespace

bool IsInstalledCopy() {
    return System().IsInstalledCopy();
}

std::string UserConfigDirectory() {
#ifdef _WIN32
    return UserFolder("APPDATA", nullptr);
#else
    return UserFolder("XDG_CONFIG_HOME", ".config");
#endif
}

std::string UserStateDirectory() {
#ifdef _WIN32
    return UserFolder("LOCALAPPDATA", nullptr);
#else
    return UserFolder("XDG_STATE_HOME", ".local/state");
#endif
}

bool EnsureDirectory(const std::string& path) {
    if (path.empty()) return false;
    const fs::path target = FsPath(path);
    std::error_code ec;
    if (fs::is_directory(target, ec)) return true;
    // The missing levels, deepest first, then created from the top down.
    std::vector<fs::path> missing;
    for (fs::path p = target; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!fs::create_directory(*it, ec) && !fs::is_directory(*it, ec)) return false;
        // Logs name the user's controllers and computer: for the owner only.
        fs::permissions(*it, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    return fs::is_directory(target, ec);
}

std::vector<std::string> SettingsSearchPaths() {
    const std::string besideExecutable = GetExeDirectory() + kPathSeparator + kSettingsFileName;
    if (!IsInstalledCopy()) return {besideExecutable};
    std::vector<std::string> paths;
    if (const std::string dir = UserConfigDirectory(); !dir.empty())
        paths.push_back(dir + kPathSeparator + kSettingsFileName);
    paths.push_back(besideExecutable);
    return paths;
}

void SetLogDirectoryOverride(const std::string& dir) {
    g_logDirOverride = dir.empty() ? dir : WithoutTrailingSeparators(dir);
}

std::optional<std::string> LogDirectory() {
    if (!g_logDirOverride.empty()) return g_logDirOverride;
    if (!IsInstalledCopy()) return GetExeDirectory();
    const std::string dir = UserStateDirectory();
    if (dir.empty()) return std::nullopt;
    return dir;
}

std::string DescribeFileLocations() {
    std::string text = IsInstalledCopy() ? "This copy is installed.\n" : "This copy is portable.\n";
    text += "Settings file (the first that exists):\n";
    for (const std::string& path : SettingsSearchPaths()) text += "  " + path + "\n";
    const std::optional<std::string> logDir = LogDirectory();
    text += "Log folder:\n  " +
            (logDir ? *logDir : std::string("none (no per-user folder owned by this user)")) + "\n";
    return text;
}

}  // namespace fwu
