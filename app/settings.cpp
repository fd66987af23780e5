#include "app/settings.h"

#include <vector>

#include "app/locations.h"
#include "base/text.h"
#include "platform/system.h"

namespace fwu {
namespace {

constexpr std::size_t kSettingCapacity = 20;

}  // namespace

std::string GetExeDirectory() {
    std::string path = System().ExecutablePath();
    const std::size_t cut = path.rfind(kPathSeparator);
    if (cut != std::string::npos) path.resize(cut);
    return path;
}

std::string GetAppName() {
    return AppNameFromPath(System().ExecutablePath());
}

std::string SettingsPath() {
    const std::vector<std::string> paths = SettingsSearchPaths();
    if (paths.size() > 1) {
        for (const std::string& path : paths)
            if (System().IsRegularFile(path)) return path;
    }
    return paths.front();
}

bool ReadSettingFlag(const std::string& path, const std::string& key) {
    const std::string value = System().ReadIniValue(path, kSettingsSection, key, kSettingCapacity);
    return AsciiLower(value) == "true";
}

}  // namespace fwu
