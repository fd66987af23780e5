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

// Where the settings file and the log are looked for, in order.
std::string FilesHelp(bool window) {
#ifdef _WIN32
    const char* userConfig = "%APPDATA%\\FirmwareUpgrade";
    const char* userState = "%LOCALAPPDATA%\\FirmwareUpgrade";
#else
    const char* userConfig = "$XDG_CONFIG_HOME/FirmwareUpgrade (default ~/.config/FirmwareUpgrade)";
    const char* userState =
        "$XDG_STATE_HOME/FirmwareUpgrade (default ~/.local/state/FirmwareUpgrade)";
#endif
    std::string t =
        "\nFiles: the settings file LogConfig.ini ([Settings] IsLogPrint=true writes a\n"
        "diagnostic log Log_<local time>.txt, IsShowSubVer=true shows sub-versions).\n"
        "  A portable copy (run from its build folder, or copied by hand) keeps both beside\n"
        "  the executable.\n"
        "  An installed copy reads the first LogConfig.ini found in\n"
        "    1. ";
    t += userConfig;
    t += "\n    2. the executable's folder (put there by an administrator)\n"
         "  and writes the log into\n    ";
    t += userState;
    t += ",\n  creating it; never into the program's folder, nor into a home folder that\n"
         "  belongs to another user (sudo).\n"
         "  --log-dir DIR puts the log into DIR instead. A log that cannot be written is said\n"
         "  once on standard error";
    t += window ? " (the window cannot say it: the entries are lost).\n" : ".\n";
    t += "  --help ends with this copy's own places.\n";
    return t;
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
        } else if (arg == "--history") {
            o.history = true;
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
        } else if (TakeValue(arg, "--history-dir", argc, argv, i, value, missing)) {
            if (missing || value.empty()) o.error = "--history-dir needs a folder";
            o.historyDir = value;
        } else if (TakeValue(arg, "--trace-summary", argc, argv, i, value, missing)) {
            if (missing || value.empty()) o.error = "--trace-summary needs a file name";
            o.traceSummaryPath = value;
        } else if (TakeValue(arg, "--log-dir", argc, argv, i, value, missing)) {
            if (missing || value.empty()) o.error = "--log-dir needs a folder";
            o.logDir = value;
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
    // A command line that is not understood still ends a --json stream with
    // its result, wherever --json stands.
    for (int i = 1; i < argc && !o.error.empty(); ++i)
        if (std::string_view(argv[i]) == "--json") o.json = true;
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
         "  --force                (console, with --update or --station) hold Shift for that\n"
         "                         press: update even when the controller's firmware is not\n"
         "                         older than the package's\n"
         "  --wait SECONDS         (console) how long to wait for a controller, and after the\n"
         "                         update for its return in normal mode (default 10)\n"
         "  --json                 (console) write every event as one JSON object per line on\n"
         "                         standard output; the text goes to standard error\n"
         "  --station              (console) service bench: update every controller attached\n"
         "                         and every one plugged in later, each at its own USB port,\n"
         "                         all at the same time, until Ctrl+C (see below)\n"
         "  --count N              (with --station) end after N controllers' outcomes\n"
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
         "                         (its own instead of --simulate's), protocol=V (its own\n"
         "                         generation) or a fault NAME[@N] of its own (repeatable)\n"
         "  --simulate-fast        no transfer latency and shortened pauses (demos and tests);\n"
         "                         with --replay, the trace is replayed at once\n"
         "  --record FILE          write a trace of every operation on the controllers to FILE\n"
         "  --replay FILE          a controller that answers as the trace FILE says; the run\n"
         "                         stops with status 1 at the first request that differs,\n"
         "                         and ends with status 1 when it asked less than the trace\n"
         "                         holds; a trace recorded with another front end, --update\n"
         "                         or --force is refused\n"
         "  --trace-summary FILE   print the timeline of the trace FILE and exit\n"
         "  --log-dir DIR          write the diagnostic log into DIR (created when missing)\n"
         "                         when the settings switch it on (IsLogPrint=true)\n"
         "  --history              print the update history (one record per Update press,\n"
         "                         newest last) as a table and exit; with --json, the\n"
         "                         records as stored, one JSON object per line\n"
         "  --history-dir DIR      keep the update history in DIR instead of the per-user\n"
         "                         state folder (also for --history)\n"
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
        "     already running, the run did not finish, the run was stopped (SIGINT, SIGTERM,\n"
        "     Ctrl+C), a replay differed from its trace or stopped short of it, a trace could\n"
        "     not be read, or the command line was not understood\n"
        "  2  the update was refused: the controller's firmware is not older than the package's\n"
        "     (use --force to update anyway)\n"
        "  3  no controller was ready for Update within --wait seconds: none was found, the\n"
        "     one shown went away before Update was pressed, or the only one is being updated\n"
        "     by another program\n"
        "  4  \"Update OK\", but the controller did not come back in normal mode within --wait\n"
        "     seconds, or came back with another firmware version than the package's\n"
        "\nStation (--station): each controller gets the run --update gives it, on a thread of\n"
        "its own, at the USB port it is plugged into; one already on the package's firmware\n"
        "is reported as already current and left alone (--force updates it), one another\n"
        "program is updating is reported and skipped. A controller that finished is taken\n"
        "again only after it was unplugged. Ctrl+C (SIGINT, SIGTERM) takes no new controller,\n"
        "lets every run in progress finish, then prints the summary (a second one ends at\n"
        "once), e.g.\n"
        "\"12 updated, 3 already current, 1 failed\" (\", 2 unconfirmed\": \"Update OK\" but\n"
        "the new firmware not confirmed, status 4 above; \", 1 skipped\": not updated and not\n"
        "checked, status 3 above). On a terminal one line per port is redrawn in place; on a\n"
        "pipe every line of a run begins with its port in brackets. With --json every event\n"
        "names its \"port\", each controller's run ends with its own result event, and the\n"
        "last line is a result event with the counts updated, current, failed, unconfirmed\n"
        "and skipped. Where the system gives no USB port (Wine), a controller is updated\n"
        "only while it is the only one attached.\n"
        "Station exit status: 0 every controller started ended updated or already current;\n"
        "otherwise 1 if a run failed, else 4 if one was unconfirmed, else 3 (also when no\n"
        "controller was started).\n"
        "\nUpdate history: every press of Update, in the window and on the console, adds one\n"
        "line to history.jsonl in the per-user state folder ($XDG_STATE_HOME/FirmwareUpgrade,\n"
        "by default ~/.local/state/FirmwareUpgrade; on Windows %LOCALAPPDATA%\\FirmwareUpgrade):\n"
        "time (UTC), version, port, controller, serial number, firmware before and after,\n"
        "outcome, exit status and duration, marked when simulated or replayed.\n";
    t += FilesHelp(window);
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
