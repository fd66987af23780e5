// Where the executable lives and the switches of the settings file
// "LogConfig.ini" (section "Settings", keys "IsLogPrint" and "IsShowSubVer"):
// beside the executable, or for an installed copy first in the per-user
// configuration folder (app/locations.h). All paths are UTF-8.
#pragma once

#include <string>

namespace fwu {

inline constexpr const char* kSettingsFileName = "LogConfig.ini";
inline constexpr const char* kSettingsSection = "Settings";
inline constexpr const char* kKeyLogPrint = "IsLogPrint";
inline constexpr const char* kKeyShowSubVer = "IsShowSubVer";

// Directory of the running executable without the trailing separator; ""
// when the executable's path is unavailable.
std::string GetExeDirectory();

// The executable's file name without its extension: the caption of message
// boxes that have none of their own.
std::string GetAppName();

// The settings file: the first of SettingsSearchPaths() that is a file, or
// the first of them when none is. For a portable copy always
// GetExeDirectory() + separator + "LogConfig.ini".
std::string SettingsPath();

// True when the value of `key` in section "Settings" of `path`, read with a
// capacity of 20 characters (so at most 19 arrive), equals "true" in any mix
// of case. Blanks are not trimmed here beyond what the INI reader drops.
bool ReadSettingFlag(const std::string& path, const std::string& key);

}  // namespace fwu
