#include "frontends/options.h"

#include <charconv>
#include <string_view>

namespace fwu {
namespace {

// "--name=value" or "--name value": the value, consuming the next argument
// when needed. False when `arg` is not this option.
bool TakeValue(std::string_view arg, std::string_view name, int argc, const char* const* argv,
               int& i, std::string& value, bool& missing) {
    if (arg.substr(0, name.size()) != name) return false;
    std::string_view rest = arg.substr(name.size());
    if (rest.empty()) {
        if (i + 1 >= argc) {
            missing = true;
            return true;
        }
        value = argv[++i];
        return true;
    }
    if (rest.front() != '=') return false;
    value = std::string(rest.substr(1));
    return true;
}

bool ParseSeconds(const std::string& text, int& out) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 0 || value > 86400) return false;
    out = value;
    return true;
}

// A decimal number in [min, max], nothing else.
bool ParseUnsigned(std::string_view text, unsigned min, unsigned max, unsigned& out) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return false;
    out = value;
    return true;
}

}  // namespace

std::optional<SimStart> ParseSimStart(std::string_view name) {
    if (name == "normal") return SimStart::Normal;
    if (name == "bootloader") return SimStart::Bootloader;
    if (name == "current") return SimStart::Current;
    return std::nullopt;
}

std::optional<SimUnitSetting> ParseSimUnit(std::string_view text) {
    const std::size_t colon = text.find(':');
    SimUnitSetting unit;
    if (colon == std::string_view::npos || colon + 1 == text.size() ||
        !ParseUnsigned(text.substr(0, colon), 0, kMaxSimControllers - 1, unit.unit))
        return std::nullopt;
    unit.setting = std::string(text.substr(colon + 1));
    return unit;
}

Options ParseOptions(int argc, const char* const* argv) {
    Options o;
    for (int i = 1; i < argc && o.error.empty(); ++i) {
        const std::string_view arg = argv[i];
        std::string value;
        bool missing = false;
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--package-info") {
            o.packageInfo = true;
        } else if (arg == "--console") {
            o.frontEnd = FrontEnd::Console;
        } else if (arg == "--update") {
            o.update = true;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--station") {
            o.station = true;
        } else if (TakeValue(arg, "--count", argc, argv, i, value, missing)) {
            if (missing || !ParseUnsigned(value, 1, kMaxStationCount, o.count))
                o.error = "--count takes 1 to " + std::to_string(kMaxStationCount);
        } else if (arg == "--simulate") {
            o.simulate = SimStart::Normal;
        } else if (arg == "--simulate-fast") {
            o.simFast = true;
        } else if (TakeValue(arg, "--wait", argc, argv, i, value, missing)) {
            if (missing || !ParseSeconds(value, o.waitSeconds))
                o.error = "--wait needs a number of seconds (0 to 86400)";
        } else if (arg.starts_with("--simulate=")) {
            if (const auto mode = ParseSimStart(arg.substr(11))) {
                o.simulate = *mode;
            } else {
                o.error = "--simulate takes normal, bootloader or current";
            }
        } else if (TakeValue(arg, "--simulate-count", argc, argv, i, value, missing)) {
            if (missing || !ParseUnsigned(value, 1, kMaxSimControllers, o.simCount))
                o.error = "--simulate-count takes 1 to " + std::to_string(kMaxSimControllers);
        } else if (TakeValue(arg, "--simulate-unit", argc, argv, i, value, missing)) {
            const auto unit = missing ? std::nullopt : ParseSimUnit(value);
            if (!unit) {
                o.error =
                    "--simulate-unit takes K:MODE, K:protocol=V or K:FAULT (K the controller, from "
                    "0)";
            } else {
                o.simUnits.push_back(*unit);
            }
        } else if (TakeValue(arg, "--simulate-protocol", argc, argv, i, value, missing)) {
            if (value == "1.0") {
                o.simProtocol1 = true;
            } else if (value == "2.0") {
                o.simProtocol1 = false;
            } else {
                o.error = "--simulate-protocol takes 1.0 or 2.0";
            }
        } else if (TakeValue(arg, "--simulate-fault", argc, argv, i, value, missing)) {
            if (missing || value.empty()) {
                o.error = "--simulate-fault needs a fault name";
            } else {
                o.faults.push_back(value);
            }
        } else if (TakeValue(arg, "--record", argc, argv, i, value, missing)) {
            if (missing || value.empty()) o.error = "--record needs a file name";
            o.recordPath = value;
        } else if (TakeValue(arg, "--replay", argc, argv, i, value, missing)) {
            if (missing || value.empty()) o.error = "--replay needs a file name";
            o.replayPath = value;
        } else if (TakeValue(arg, "--trace-summary", argc, argv, i, value, missing)) {
            if (missing || value.empty()) o.error = "--trace-summary needs a file name";
            o.traceSummaryPath = value;
        } else {
            o.error = "unknown option: " + std::string(arg);
        }
    }
    if (o.error.empty() && o.force && !o.update && !o.station)
        o.error = "--force holds Shift for the Update press and needs --update or --station";
    if (o.error.empty() && o.count != 0 && !o.station) o.error = "--count needs --station";
    if (o.error.empty() && o.station && !o.replayPath.empty())
        o.error = "--replay replays the run of one controller and cannot be used with --station";
    for (const SimUnitSetting& unit : o.simUnits) {
        if (o.error.empty() && unit.unit >= o.simCount)
            o.error = "--simulate-unit=" + std::to_string(unit.unit) + ":" + unit.setting +
                      ": there is no simulated controller " + std::to_string(unit.unit) +
                      " (--simulate-count)";
    }
    // The simulator's settings only make sense with a simulated controller.
    if (o.error.empty() && o.simulate == SimStart::Off &&
        (o.simProtocol1 || !o.faults.empty() || o.simFast || o.simCount > 1 || !o.simUnits.empty()))
        o.simulate = SimStart::Normal;
    return o;
}

std::string UsageText(const std::string& programName, const std::string& faultHelp, bool window) {
    std::string t = "Usage: " + programName + " [options]\n";
    t += "Updates the firmware of the connected game controller with the package built into this "
         "program.\n\n"
         "Options:\n"
         "  --help                 show this text and exit\n"
         "  --version              show the program's version and exit\n"
         "  --package-info         describe the built-in configuration record and update package\n"
         "  --console              use the console front end instead of the window\n"
         "  --update               (console) press Update as soon as a controller is shown\n"
         "  --force                (console, with --update) hold Shift for that press: update\n"
         "                         even when the controller's firmware is not older than the\n"
         "                         package's\n"
         "  --wait SECONDS         (console) how long to wait for a controller, and after the\n"
         "                         update for its return in normal mode (default 10)\n"
         "  --json                 (console) write every event as one JSON object per line on\n"
         "                         standard output; the text goes to standard error\n"
         "  --simulate[=MODE]      use the simulated controller instead of real ones; MODE is\n"
         "                         normal (default: older firmware, both images out of date),\n"
         "                         bootloader (already in upgrade mode) or current (firmware\n"
         "                         equal to the package's)\n"
         "  --simulate-protocol=V  bootloader protocol generation of the simulated controller,\n"
         "                         1.0 or 2.0 (default 2.0)\n"
         "  --simulate-fault=NAME[@N]\n"
         "                         inject a fault into the simulated controller (repeatable)\n"
         "  --simulate-count=N     attach N simulated controllers (1 to 8, default 1), each at\n"
         "                         a place of its own (sim0, sim1, ...) that it keeps when it\n"
         "                         re-enumerates; the settings above apply to each of them\n"
         "  --simulate-unit=K:SETTING\n"
         "                         simulated controller K (from 0) only: SETTING is a MODE\n"
         "                         (its own instead of --simulate's) or a fault NAME[@N] of\n"
         "                         its own (repeatable)\n"
         "  --simulate-fast        no transfer latency and shortened pauses (demos and tests);\n"
         "                         with --replay, the trace is replayed at once\n"
         "  --record FILE          write a trace of every operation on the controllers to FILE\n"
         "  --replay FILE          a controller that answers as the trace FILE says; the run\n"
         "                         stops with status 1 at the first request that differs\n"
         "  --trace-summary FILE   print the timeline of the trace FILE and exit\n"
         "\n"
         "The simulated controller answers each transfer after about 1 ms, like a real one.\n";
    if (!faultHelp.empty()) {
        t += "\nFaults of the simulated controller:\n" + faultHelp;
        if (t.back() != '\n') t += '\n';
    }
    t +=
        "\nConsole front end: labels, progress and message boxes are printed. Without --update it\n"
        "shows what it finds and exits after --wait seconds. With --update, after \"Update OK\" "
        "it\n"
        "waits up to --wait seconds for the controller to come back in normal mode and prints\n"
        "its version.\n"
        "\nExit status:\n"
        "  0  the controller came back in normal mode with the package's firmware version after\n"
        "     \"Update OK\"; without --update: a controller was shown within --wait seconds\n"
        "  1  the run ended with an error box (a failed command, a checksum error, a wrong\n"
        "     package, or the controller went away during the update), the controller did not\n"
        "     switch to upgrade mode, the built-in package could not be loaded, another copy is\n"
        "     already running, the run did not finish, or the command line was not understood\n"
        "  2  the update was refused: the controller's firmware is not older than the package's\n"
        "     (use --force to update anyway)\n"
        "  3  no controller was ready for Update within --wait seconds: none was found, or the\n"
        "     one shown went away before Update was pressed\n"
        "  4  \"Update OK\", but the controller did not come back in normal mode within --wait\n"
        "     seconds, or came back with another firmware version than the package's\n";
#ifndef _WIN32
    if (window)
        t += "\nThe window opens when a display is available (DISPLAY, WAYLAND_DISPLAY or\n"
             "QT_QPA_PLATFORM set); otherwise the console front end runs. With --station the\n"
             "window shows the station, one row per USB port; closing it takes no new\n"
             "controller and closes the window once the runs in progress have finished.\n";
#else
    if (window)
        t += "\n--station runs on the console (the one the program was started from, or a new\n"
             "one); FirmwareUpgrade-cli.exe --station is the same from cmd.exe or PowerShell.\n";
#endif
    return t;
}

}  // namespace fwu
