// FirmwareUpgrade: parses the command line, sets up the platform (or the
// simulated controller) and runs the application with the chosen front end.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/history.h"
#include "app/locations.h"
#include "base/text.h"
#include "frontends/console/console_host.h"
#include "frontends/console/json_events.h"
#include "frontends/options.h"
#include "frontends/services.h"
#include "frontends/station/station.h"
#include "frontends/station/station_json.h"
#include "frontends/station/station_text.h"
#include "frontends/stop_requests.h"
#include "log/log.h"
#include "package/describe.h"
#include "package/package.h"
#include "platform/diagnostics.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "trace/setup.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <shellapi.h>

#include "frontends/win32/win32_dialog.h"
#include "platform/windows/wide.h"
#elif defined(FWU_HAVE_QT)
#include <QApplication>

#include "frontends/qt/display_probe.h"
#include "frontends/qt/main_window.h"
#include "frontends/qt/station_window.h"
#endif

namespace fwu {
namespace {

// The update history names a run's outcome by the console's exit status.
static_assert(kRunUpdated == kExitUpdated && kRunFailed == kExitFailed &&
              kRunRefused == kExitRefused && kRunNoDevice == kExitNoDevice &&
              kRunUnconfirmed == kExitUnconfirmed);

// FirmwareUpgrade-cli: the same program without a window, so that it runs
// where no GUI stack is installed and, on Windows, as a console program.
#ifdef FWU_CONSOLE_ONLY
constexpr bool kConsoleOnly = true;
#else
constexpr bool kConsoleOnly = false;
#endif

// Whether --station opens a window of its own: on Linux with the Qt window.
// On Windows, and without a display, the station runs on the console.
#if defined(FWU_HAVE_QT) && !defined(_WIN32) && !defined(FWU_CONSOLE_ONLY)
constexpr bool kStationWindow = true;
#else
constexpr bool kStationWindow = false;
#endif

// Whether the window can open. A display that is set but has no server
// behind it is said in one line, and the console front end runs instead.
bool DisplayAvailable([[maybe_unused]] const std::string& appName) {
#ifdef _WIN32
    return true;
#else
    bool set = false;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') set = true;
    }
    if (!set) return false;
#ifdef FWU_HAVE_QT
    std::string why;
    if (!ProbeDisplay(why)) {
        std::cerr << appName << ": no display could be opened (" << why
                  << "); using the console front end.\n";
        return false;
    }
#endif
    return true;
#endif
}

int PrintPackageInfo() {
    auto toStderr = [](const std::string& text) { std::cerr << text << '\n'; };
    PackageConfig config;
    UpdatePackage images;
    if (!LoadPackageConfig(config, toStderr) || !LoadUpdatePackage(config, images, toStderr))
        return kExitFailed;
    std::cout << DescribePackage(config, images);
    std::cout.flush();
    return 0;
}

int Run(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    const Options options = ParseOptions(static_cast<int>(argv.size()), argv.data());
    const std::string program = args.empty() ? std::string() : args[0];

    Services services;
    services.InstallSystem(CreatePlatformSystem());
    const std::string executable = System().ExecutablePath();
    const std::string appName = AppNameFromPath(executable.empty() ? program : executable);
    // The platform's lines for the diagnostic log (written once it is on).
    SetDiagnosticWriter(&WriteLog);

    // Termination signals arrive as stop requests: the running front end
    // stops gracefully on the first; a second one, or one while no front end
    // runs, ends the process at once (never inside a critical window).
    std::unique_ptr<JsonEventWriter> json;  // outlives the stop source
    std::atomic<JsonEventWriter*> jsonEvents{nullptr};
    StopRequests stops([&appName, &jsonEvents](const StopRequest& request) {
        std::cerr << appName << ": stopped at once by " << request.what << ".\n";
        if (JsonEventWriter* events = jsonEvents.load()) events->Result(kExitFailed);
        EndProcessNow(kExitFailed);
    });
    const std::unique_ptr<IStopSignalSource> stopSignals = CreatePlatformStopSignals();
    stopSignals->Start([&stops](const StopRequest& request) { stops.Deliver(request); });

    const bool console = kConsoleOnly || options.frontEnd == FrontEnd::Console || options.update ||
                         (options.station && !kStationWindow) || options.json || options.help ||
                         options.version || options.packageInfo || options.history ||
                         !options.error.empty() || !options.traceSummaryPath.empty() ||
                         !DisplayAvailable(appName);
#ifdef _WIN32
    if (console && !kConsoleOnly) AttachConsoleOutput();
#endif
    // --json: events on standard output, the text beside them on standard
    // error; a run that does not get going ends the stream as well. --help,
    // --version, --package-info and --trace-summary keep their text output.
    const bool textOnly = options.help || options.version || options.packageInfo ||
                          options.history || !options.traceSummaryPath.empty();
    if (console && options.json && (!options.error.empty() || !textOnly))
        json = std::make_unique<JsonEventWriter>(std::cout, options.update);
    jsonEvents.store(json.get());
    std::ostream& human = json ? std::cerr : std::cout;
    // Ends the process's work before the run: why, then (--json) the result.
    auto refuse = [&](const std::string& why, bool tryHelp) {
        std::cerr << appName << ": " << why << (tryHelp ? "\nTry --help.\n" : "\n");
        std::cerr.flush();
        if (json) {
            json->Notice(why);
            json->Result(kExitFailed);
        }
        return kExitFailed;
    };

    if (!options.error.empty()) return refuse(options.error, true);
    SetLogDirectoryOverride(options.logDir);
    if (options.help) {
        std::cout << UsageText(appName, sim::FaultHelp(), !kConsoleOnly) << '\n'
                  << DescribeFileLocations();
        return 0;
    }
    // The window has nowhere to say it; its --help and the README tell
    // where the log goes.
    if (console)
        SetLogProblemHandler([appName](const std::string& problem) {
            std::cerr << appName << ": " << problem << '\n';
        });
    if (options.version) {
        std::cout << appName << " " << FWU_VERSION_TEXT << '\n';
        return 0;
    }
    if (options.packageInfo) return PrintPackageInfo();
    // The update history: --history-dir, else the per-user state folder.
    const std::string historyDir =
        options.historyDir.empty() ? UserStateDirectory() : options.historyDir;
    if (options.history)
        return PrintHistory(historyDir, options.json, std::cout, std::cerr, appName);
    if (!options.traceSummaryPath.empty())
        return trace::PrintTraceSummary(options.traceSummaryPath, std::cout, std::cerr);

    if (const std::string error = services.InstallDevices(options); !error.empty())
        return refuse(error, true);
    // --record and --replay: installed over the chosen controllers.
    trace::TraceSetup traces;
    trace::TraceRequest traceRequest{
        .recordPath = options.recordPath,
        .replayPath = options.replayPath,
        .fast = options.simFast,
        .onDifference =
            [appName, events = json.get()](const std::string& difference) {
                // The run stops here, whatever it was doing: the stream ends
                // with its result and nothing the run would still do follows.
                std::fflush(stdout);
                std::cerr << appName << ": replay: " << difference << '\n';
                std::cerr.flush();
                if (events != nullptr) {
                    events->Notice("replay: " + difference);
                    events->Result(kExitFailed);
                }
                std::fflush(stdout);
                std::_Exit(kExitFailed);
            },
        .choices = {.window = !console, .update = options.update, .force = options.force}};
    if (const std::string error = traces.Install(traceRequest, services.Hotplug()); !error.empty())
        return refuse(error, false);
    IHotplugSource* const hotplug = traces.Hotplug();

    // Every Update press is recorded; a history that cannot be written is
    // said once and changes nothing else.
    RunHistory history(
        historyDir,
        {FWU_VERSION_TEXT,
         options.station ? "station"
         : console       ? "console"
                         : "window",
         services.Simulated() && traces.Replay() == nullptr, traces.Replay() != nullptr},
        [appName](const std::string& message) {
            std::cerr << appName << ": " << message << '\n';
            std::cerr.flush();
        });
    const ScopedUpdateHistory installedHistory(&history);

    int status = 0;
    CFirmwareUpgradeApp::DialogRunner runDialog;
    CFirmwareUpgradeApp::MessageBoxFn messageBox;
    // --station: every controller at once, each at its port.
    std::unique_ptr<StationTextView> stationText;
    std::unique_ptr<StationJsonView> stationJson;
    std::unique_ptr<StationEngine> station;
    bool stationRan = false;
#if !defined(_WIN32) && defined(FWU_HAVE_QT)
    std::unique_ptr<QApplication> qt;
#endif
    ConsoleSettings settings;
    if (console) {
        settings.update = options.update;
        settings.force = options.force;
        settings.waitSeconds = options.waitSeconds;
        settings.appName = appName;
        settings.terminal = !json && StdoutIsTerminal();
        settings.events = json.get();
        settings.stops = &stops;
        runDialog = [&] { status = RunConsole(settings, hotplug, human); };
        if (options.station) {
            stationText = std::make_unique<StationTextView>(human, settings.terminal);
            if (json) stationJson = std::make_unique<StationJsonView>(std::cout, *stationText);
            IStationView& view = stationJson ? static_cast<IStationView&>(*stationJson)
                                             : static_cast<IStationView&>(*stationText);
            station = std::make_unique<StationEngine>(
                StationSettings{options.force, options.waitSeconds, options.count, appName},
                hotplug, view);
            runDialog = [&] {
                stationRan = true;
                // The first stop request takes no new controller and lets
                // every run in progress finish; a second one ends at once.
                const StopRoute route(&stops, [&](const StopRequest&) { station->RequestStop(); });
                status = station->Run();
            };
        }
        messageBox = [&](const std::string& text, const std::string& caption) {
            human << "[" << (caption.empty() ? appName : caption) << "]\n" << text << '\n';
            if (json) json->MessageShown(caption.empty() ? appName : caption, text);
            status = kExitFailed;
        };
    } else {
#ifdef _WIN32
        runDialog = [&] {
            RunWin32Dialog(services.Simulated() || traces.Replay() != nullptr ? hotplug : nullptr);
        };
        messageBox = [&](const std::string& text, const std::string& caption) {
            ShowWin32Warning(text, caption.empty() ? appName : caption);
            status = kExitFailed;
        };
#elif defined(FWU_HAVE_QT)
        static int qtArgc = 1;
        static char qtName[] = "FirmwareUpgrade";
        static char* qtArgv[] = {qtName, nullptr};
        qt = std::make_unique<QApplication>(qtArgc, qtArgv);
        QCoreApplication::setApplicationName(QString::fromStdString(appName));
        runDialog = [&] { RunQtWindow(hotplug, &stops); };
        if (options.station) {
            runDialog = [&] {
                status = RunQtStation(
                    StationSettings{options.force, options.waitSeconds, options.count, appName},
                    hotplug, &stops);
            };
        }
        messageBox = [&](const std::string& text, const std::string& caption) {
            ShowQtWarning(text, caption.empty() ? appName : caption);
            status = kExitFailed;
        };
#else
        std::cerr << appName << ": built without a window; use --console\n";
        return kExitFailed;
#endif
    }

    // Whether the front end ran (not when another copy runs).
    bool ran = false;
    CFirmwareUpgradeApp app(
        [&ran, run = std::move(runDialog)] {
            ran = true;
            run();
        },
        messageBox);
    app.InitInstance();
    // A replay passes only when the run asked for everything the trace holds.
    if (const trace::ReplaySession* replay = traces.Replay(); replay != nullptr && ran) {
        if (const std::string unfinished = replay->Unfinished(); !unfinished.empty()) {
            human.flush();
            std::cerr << appName << ": replay: " << unfinished << '\n';
            std::cerr.flush();
            if (json) json->Notice("replay: " + unfinished);
            status = kExitFailed;
        }
    }
    // A station's stream ends with its own result, which counts the outcomes.
    if (json && !stationRan) json->Result(status);
    return status;
}

}  // namespace
}  // namespace fwu

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    fwu::HoldStopSignals();
    int argc = 0;
    wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; wargv != nullptr && i < argc; ++i) args.push_back(fwu::Narrow(wargv[i]));
    if (wargv != nullptr) LocalFree(wargv);
    const int status = fwu::Run(args);
    std::fflush(stdout);
    return status;
}
#else
int main(int argc, char** argv) {
    // Before any thread starts: every thread inherits the block.
    fwu::HoldStopSignals();
    std::vector<std::string> args(argv, argv + argc);
    return fwu::Run(args);
}
#endif
