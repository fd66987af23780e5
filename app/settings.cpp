#include "app/settings.h"

#include "base/text.h"
#include "platform/system.h"

namespace fwu {
namespace {

constexpr std::size_t kSettingCapacity = 20;

bool IsSeparator(char c) {
    return c == kPathSeparator || c == '/';
}

}  // namespace

std::string GetExeDirectory() {
    std::string path = System().ExecutablePath();
    const std::size_t cut = path.rfind(kPathSeparator);
    if (cut != std::string::npos) path.resize(cut);
    return path;
}

std::string GetAppName() {
    const std::string path = System().ExecutablePath();
    std::size_t start = path.size();
    while (start > 0 && !IsSeparator(path[start - 1])) --start;
    std::string name = path.substr(start);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name.empty() ? std::string("FirmwareUpgrade") : name;
}

std::string SettingsPath() {
    return GetExeDirectory() + kPathSeparator + kSettingsFileName;
}

bool ReadSettingFlag(const std::string& path, const std::string& key) {
    const std::string value = System().ReadIniValue(path, kSettingsSection, key, kSettingCapacity);
    return AsciiLower(value) == "true";
}

}  // namespace fwu
