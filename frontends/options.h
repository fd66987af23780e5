// Command line of the FirmwareUpgrade executable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fwu {

enum class FrontEnd { Default, Console };

// What the simulated controller looks like when the tool starts.
enum class SimStart {
    Off,         // real controllers
    Normal,      // normal mode, firmware older than the package
    Bootloader,  // already in upgrade mode
    Current,     // normal mode, firmware equal to the package's
};

// At most this many simulated controllers (--simulate-count).
inline constexpr unsigned kMaxSimControllers = 8;
// The largest --count.
inline constexpr unsigned kMaxStationCount = 100000;

// normal, bootloader or current; nullopt for anything else.
std::optional<SimStart> ParseSimStart(std::string_view name);

// --simulate-unit=K:SETTING: controller K's own mode, or a fault of its own.
struct SimUnitSetting {
    unsigned unit = 0;
    std::string setting;  // a mode name or a fault, as given
    bool operator==(const SimUnitSetting&) const = default;
};

// "K:SETTING" with K a controller number below kMaxSimControllers and
// SETTING not empty; nullopt otherwise.
std::optional<SimUnitSetting> ParseSimUnit(std::string_view text);

struct Options {
    bool help = false;
    bool version = false;
    bool packageInfo = false;
    FrontEnd frontEnd = FrontEnd::Default;
    bool update = false;
    bool force = false;
    int waitSeconds = 10;
    bool json = false;     // (console) events as JSON lines on standard output
    bool station = false;  // --station: every controller attached, each at its port
    unsigned count = 0;    // --count N: the station ends after N outcomes (0: when stopped)

    SimStart simulate = SimStart::Off;
    bool simProtocol1 = false;             // --simulate-protocol=1.0
    std::vector<std::string> faults;       // --simulate-fault=NAME[@N], as given
    bool simFast = false;                  // --simulate-fast
    unsigned simCount = 1;                 // --simulate-count=N
    std::vector<SimUnitSetting> simUnits;  // --simulate-unit=K:SETTING

    std::string recordPath;        // --record FILE
    std::string replayPath;        // --replay FILE
    std::string traceSummaryPath;  // --trace-summary FILE

    std::string logDir;      // --log-dir DIR: the diagnostic log's folder
    bool history = false;    // --history: print the update history and exit
    std::string historyDir;  // --history-dir DIR: where it is kept ("" the default)

    std::string error;  // non-empty: the command line was not understood
};

// Parse argv[1..argc). Unknown options and bad values set `error`.
Options ParseOptions(int argc, const char* const* argv);

// The --help text; `faultHelp` lists the simulated faults. `window`: the
// program also has a window (not the console-only executable).
std::string UsageText(const std::string& programName, const std::string& faultHelp,
                      bool window = true);

// Exit statuses of the console front end.
// "Update OK" and the controller came back with the package's firmware (or,
// without --update, a controller shown).
inline constexpr int kExitUpdated = 0;
inline constexpr int kExitFailed = 1;    // an error box, or a bad command line
inline constexpr int kExitRefused = 2;   // the version check refused the update
inline constexpr int kExitNoDevice = 3;  // no controller ready for Update within --wait
// "Update OK", but the controller did not come back in normal mode with the
// package's firmware within --wait.
inline constexpr int kExitUnconfirmed = 4;

}  // namespace fwu
