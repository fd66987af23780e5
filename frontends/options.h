// Command line of the FirmwareUpgrade executable.
#pragma once

#include <string>
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

struct Options {
    bool help = false;
    bool version = false;
    bool packageInfo = false;
    FrontEnd frontEnd = FrontEnd::Default;
    bool update = false;
    bool force = false;
    int waitSeconds = 10;
    bool json = false;  // (console) events as JSON lines on standard output

    SimStart simulate = SimStart::Off;
    bool simProtocol1 = false;        // --simulate-protocol=1.0
    std::vector<std::string> faults;  // --simulate-fault=NAME[@N], as given
    bool simFast = false;             // --simulate-fast

    std::string recordPath;        // --record FILE
    std::string replayPath;        // --replay FILE
    std::string traceSummaryPath;  // --trace-summary FILE

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
