// Where this copy of the tool keeps its settings file and its diagnostic log.
//
// A portable copy (run from its build folder, or an executable copied
// anywhere by hand) keeps both beside the executable. An installed copy
// (`cmake --install`, the packages, the Windows installer; see
// ISystem::IsInstalledCopy) never writes into its program folder: it reads
// "LogConfig.ini" from the per-user configuration folder, then from beside
// the executable (where an administrator may have put one), and writes its
// log into the per-user state folder, which it creates.
//   Linux:   $XDG_CONFIG_HOME/FirmwareUpgrade (default ~/.config/FirmwareUpgrade)
//            $XDG_STATE_HOME/FirmwareUpgrade (default ~/.local/state/FirmwareUpgrade)
//   Windows: %APPDATA%\FirmwareUpgrade, %LOCALAPPDATA%\FirmwareUpgrade
// A per-user folder is used only where it, or the nearest folder above it
// that exists, belongs to the effective user: under sudo with another user's
// home, none is used. All paths are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fwu {

inline constexpr const char* kUserFolderName = "FirmwareUpgrade";

// Whether this copy was installed (the marker near the executable).
bool IsInstalledCopy();

// The per-user configuration folder of the tool, "" when none can be used.
std::string UserConfigDirectory();

// The per-user state folder of the tool (logs, history), "" when none can be
// used safely. It may not exist yet: see EnsureDirectory.
std::string UserStateDirectory();

// Creates `path` with the folders above it that are missing, each one for its
// owner only; true when it is a folder afterwards.
bool EnsureDirectory(const std::string& path);

// The places "LogConfig.ini" is looked for, in order; the first that is a
// file is the settings file (SettingsPath).
std::vector<std::string> SettingsSearchPaths();

// --log-dir: the log goes into `dir` ("" goes back to the copy's own place).
void SetLogDirectoryOverride(const std::string& dir);

// The folder for log files: --log-dir, else beside the executable (portable)
// or the per-user state folder (installed); nullopt when an installed copy
// has no per-user folder it may use. Not created here.
std::optional<std::string> LogDirectory();

// A few lines for --help: whether this copy is installed, where it looks
// for the settings file and where its log goes.
std::string DescribeFileLocations();

}  // namespace fwu
