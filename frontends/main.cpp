// FirmwareUpgrade: parses the command line, sets up the platform (or the
// simulated controller) and runs the application with the chosen front end.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "base/text.h"
#include "frontends/console/console_host.h"
#include "frontends/console/json_events.h"
#include "frontends/options.h"
#include "frontends/services.h"
#include "frontends/station/station.h"
#include "frontends/station/station_json.h"
#include "frontends/station/station_text.h"
#include "package/describe.h"
#include "package/package.h"
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

    const bool console = kConsoleOnly || options.frontEnd == FrontEnd::Console || options.update ||
                         (options.station && !kStationWindow) || options.json || options.help ||
                         options.version || options.packageInfo || !options.error.empty() ||
                         !options.traceSummaryPath.empty() || !DisplayAvailable(appName);
#ifdef _WIN32
    if (console && !kConsoleOnly) AttachConsoleOutput();
#endif
    if (!options.error.empty()) {
        std::cerr << appName << ": " << options.error << "\nTry --help.\n";
        return kExitFailed;
    }
    if (options.help) {
        std::cout << UsageText(appName, sim::FaultHelp(), !kConsoleOnly);
        return 0;
    }
    if (options.version) {
        std::cout << appName << " " << FWU_VERSION_TEXT << '\n';
        return 0;
    }
    if (options.packageInfo) return PrintPackageInfo();
    if (!options.traceSummaryPath.empty())
        return trace::PrintTraceSummary(options.traceSummaryPath, std::cout, std::cerr);

    // --json: events on standard output, the text beside them on standard error.
    std::unique_ptr<JsonEventWriter> json;
    if (console && options.json)
        json = std::make_unique<JsonEventWriter>(std::cout, options.update);
    std::ostream& human = json ? std::cerr : std::cout;

    if (const std::string error = services.InstallDevices(options); !error.empty()) {
        std::cerr << appName << ": " << error << "\nTry --help.\n";
        return kExitFailed;
    }
    // --record and --replay: installed over the chosen controllers.
    trace::TraceSetup traces;
    trace::TraceRequest traceRequest{options.recordPath, options.replayPath, options.simFast,
                                     [appName](const std::string& difference) {
                                         // The run stops here, whatever it was doing.
                                         std::fflush(stdout);
                                         std::cerr << appName << ": replay: " << difference << '\n';
                                         std::cerr.flush();
                                         std::_Exit(kExitFailed);
                                     }};
    if (const std::string error = traces.Install(traceRequest, services.Hotplug());
        !error.empty()) {
        std::cerr << appName << ": " << error << '\n';
        return kExitFailed;
    }
    IHotplugSource* const hotplug = traces.Hotplug();

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
        runDialog = [&] { RunQtWindow(hotplug); };
        if (options.station) {
            runDialog = [&] {
                status = RunQtStation(
                    StationSettings{options.force, options.waitSeconds, options.count, appName},
                    hotplug);
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

    CFirmwareUpgradeApp app(runDialog, messageBox);
    app.InitInstance();
    // A station's stream ends with its own result, which counts the outcomes.
    if (json && !stationRan) json->Result(status);
    return status;
}

}  // namespace
}  // namespace fwu

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
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
    std::vector<std::string> args(argv, argv + argc);
    return fwu::Run(args);
}
#endif
