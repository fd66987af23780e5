#include "frontends/station/station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <streambuf>
#include <thread>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "base/text.h"
#include "device/DeviceManager.h"
#include "device/scope.h"
#include "frontends/console/console_events.h"
#include "frontends/console/console_host.h"
#include "frontends/options.h"
#include "package/package.h"
#include "platform/hotplug_hub.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "ui/dialog_loop.h"

namespace fwu {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A stream buffer that hands every whole line written to it on, without its
// line feed, so that the lines of runs printed at the same time never mix.
class LineBuffer : public std::streambuf {
  public:
    explicit LineBuffer(std::function<void(std::string)> onLine) : onLine_(std::move(onLine)) {}
    // What is left after the last line feed, as a line of its own.
    void Flush() {
        if (!line_.empty()) onLine_(std::exchange(line_, {}));
    }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        if (ch == '\n') {
            onLine_(std::exchange(line_, {}));
        } else {
            line_.push_back(ch);
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
        return n;
    }

  private:
    std::function<void(std::string)> onLine_;
    std::string line_;
};

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

constexpr const char* kPressing = "Pressing Update";
constexpr const char* kWaitingForReturn =
    "Waiting for the controller to restart with the new firmware.";

// One USB port of the station and the run that serves, or served, it.
struct Port {
    std::string location;
    StationRow row;
    bool running = false;
    // Done only: the controller that was there when the run ended has been
    // unplugged since (or was already gone): the next one is served.
    bool armed = false;
    // Without a location: the paths attached when the run ended.
    std::vector<std::string> endPaths;
    bool pressed = false;
    SteadyClock::time_point started;
    std::thread thread;
    std::unique_ptr<ConsoleEvents> relay;
    ConsoleEvents* events = nullptr;  // the view's, may be null
};

}  // namespace

struct StationEngine::Impl {
    Impl(StationSettings s, IHotplugSource* hotplug, IStationView& v)
        : settings(std::move(s)), view(v) {
        if (hotplug != nullptr) hub = std::make_unique<HotplugHub>(*hotplug);
    }

    // The controllers of the package's identities attached now, by location
    // (paths in lower case: the platform may spell an arrival's otherwise).
    using Attached = std::map<std::string, std::vector<std::string>>;
    Attached Enumerate() const;
    bool IsOurs(const std::string& path) const;
    // The package's identities, both modes.
    std::vector<HidIdentity> Identities() const;

    void Reconcile();
    void OnRemoval(const std::string& location, const std::string& path);
    void Unplugged(Port& port);
    void QueueReconcile();
    void StartRun(Port& port);
    void RunPort(Port& port);
    void OnRunEnded(Port& port, int status);
    void Changed(Port& port);
    void MaybeFinish();
    bool Accepting() const;
    int Running() const;

    // The per-run events, applied on the engine's thread.
    class Relay;

    const StationSettings settings;
    IStationView& view;
    std::unique_ptr<HotplugHub> hub;
    std::unique_ptr<IHotplugSource> watcher;
    DialogLoop loop{DialogLoop::Clock::Real};
    std::atomic<bool> reconcileQueued{false};

    PackageConfig config;
    std::vector<HidIdentity> identities;
    std::map<std::string, std::unique_ptr<Port>> ports;
    StationCounts counts;
    bool stopping = false;
    // Set at once by RequestStop, on any thread: a controller that arrives
    // after the request is not taken, even by a look already queued.
    std::atomic<bool> stopRequested{false};
    bool finished = false;
    int status = kExitNoDevice;
    // The number of controllers without a location last said to hold the
    // station up (0: none said).
    std::size_t waitSaid = 0;
};

// A run's console events, handed to the engine's thread: each updates the
// port's row and goes on to the view's own events object.
class StationEngine::Impl::Relay : public ConsoleEvents {
  public:
    Relay(Impl& engine, Port& port) : engine_(engine), port_(port) {}

    void Title(const std::string& title) override {
        Post([title](Port& p) { return Forward(p, [&](ConsoleEvents& e) { e.Title(title); }); });
    }
    void Label(const std::string& label, const std::string& text) override {
        Post([label, text](Port& p) {
            if (label == "device" && !text.empty() && text != "No Device") {
                p.row.controller = text;
            } else if (label == "device_version" && !p.pressed && !text.empty()) {
                p.row.versionBefore = Trimmed(text);
            }
            Forward(p, [&](ConsoleEvents& e) { e.Label(label, text); });
            return label != "package_version";
        });
    }
    void ProgressRange(int lower, int upper) override {
        Post([=](Port& p) {
            return Forward(p, [&](ConsoleEvents& e) { e.ProgressRange(lower, upper); });
        });
    }
    void Progress(int pos, int lower, int upper, int percent) override {
        Post([=](Port& p) {
            p.row.percent = percent;
            Forward(p, [&](ConsoleEvents& e) { e.Progress(pos, lower, upper, percent); });
            return true;
        });
    }
    void MessageShown(const std::string& caption, const std::string& text) override {
        Post([caption, text](Port& p) {
            if (caption != "Update OK") p.row.detail = FirstLine(text);
            Forward(p, [&](ConsoleEvents& e) { e.MessageShown(caption, text); });
            return true;
        });
    }
    void Notice(const std::string& text) override {
        Post([text](Port& p) {
            if (text.starts_with(kPressing)) {
                p.pressed = true;
            } else if (text != kWaitingForReturn) {
                p.row.detail = text;
            }
            Forward(p, [&](ConsoleEvents& e) { e.Notice(text); });
            return true;
        });
    }
    void Confirmation(bool returned, const std::string& deviceVersion,
                      const std::string& packageVersion) override {
        Post([=](Port& p) {
            if (returned) p.row.versionAfter = Trimmed(deviceVersion);
            Forward(p, [&](ConsoleEvents& e) {
                e.Confirmation(returned, deviceVersion, packageVersion);
            });
            return true;
        });
    }
    // The engine reports the result once the run has ended.
    void Result(int /*status*/) override {}

  private:
    static bool Forward(Port& p, const std::function<void(ConsoleEvents&)>& fn) {
        if (p.events != nullptr) fn(*p.events);
        return false;
    }
    // `fn` returns whether the row changed.
    void Post(std::function<bool(Port&)> fn) {
        Impl& engine = engine_;
        Port& port = port_;
        engine.loop.Post([&engine, &port, fn = std::move(fn)] {
            if (fn(port)) engine.Changed(port);
        });
    }

    Impl& engine_;
    Port& port_;
};

std::vector<HidIdentity> StationEngine::Impl::Identities() const {
    std::vector<HidIdentity> ids{{UPGRADE_VID, kUpgradePid1}, {UPGRADE_VID, kUpgradePid2}};
    if (config.upgradeId.BothNonZero()) ids.push_back({config.upgradeId.vid, config.upgradeId.pid});
    for (const UsbId& id : config.normalIds) {
        if (id.BothNonZero()) ids.push_back({id.vid, id.pid});
    }
    return ids;
}

bool StationEngine::Impl::IsOurs(const std::string& path) const {
    const auto [vid, pid] = CFirmwareUpgradeDlg::ParseVidPid(AsciiLower(path));
    return std::any_of(identities.begin(), identities.end(),
                       [&](const HidIdentity& id) { return id.vid == vid && id.pid == pid; });
}

StationEngine::Impl::Attached StationEngine::Impl::Enumerate() const {
    Attached attached;
    for (const std::string& path : HidBackend().EnumeratePaths()) {
        if (IsOurs(path)) attached[HidBackend().Location(path)].push_back(AsciiLower(path));
    }
    return attached;
}

int StationEngine::Impl::Running() const {
    return static_cast<int>(
        std::count_if(ports.begin(), ports.end(), [](const auto& p) { return p.second->running; }));
}

bool StationEngine::Impl::Accepting() const {
    if (stopping || stopRequested || finished) return false;
    return settings.count == 0 ||
           static_cast<unsigned>(counts.Total() + Running()) < settings.count;
}

void StationEngine::Impl::QueueReconcile() {
    if (reconcileQueued.exchange(true)) return;
    loop.Post([this] {
        reconcileQueued = false;
        Reconcile();
    });
}

void StationEngine::Impl::Reconcile() {
    if (finished) return;
    const Attached attached = Enumerate();
    auto present = [&](const Port& p) {
        if (!p.location.empty()) return attached.count(p.location) != 0;
        const auto it = attached.find("");
        if (it == attached.end()) return false;
        return std::any_of(p.endPaths.begin(), p.endPaths.end(), [&](const std::string& path) {
            return std::find(it->second.begin(), it->second.end(), path) != it->second.end();
        });
    };

    // Finished controllers that were unplugged: their rows go, their ports
    // are served again.
    std::vector<Port*> gone;
    for (auto& [location, port] : ports) {
        if (!port->running && !port->armed && !present(*port)) gone.push_back(port.get());
    }
    for (Port* port : gone) Unplugged(*port);

    std::size_t total = 0;
    for (const auto& [location, paths] : attached) total += paths.size();
    const auto unlocated = attached.find("");
    const bool unlocatedRunning = ports.count("") != 0 && ports.at("")->running;

    // Without a location a run cannot tell its controller from another one.
    const bool crowded = unlocated != attached.end() && total > 1;
    if (crowded && waitSaid != total) {
        waitSaid = total;
        view.Notice(std::to_string(total) +
                    " controllers are attached and this system does not say which USB port each "
                    "is plugged into: a controller is updated only while it is the only one "
                    "attached.");
    } else if (!crowded) {
        waitSaid = 0;
    }

    for (const auto& [location, paths] : attached) {
        if (!Accepting()) break;
        if (location.empty()) {
            if (total != 1 || Running() > 0) continue;
        } else if (unlocatedRunning) {
            continue;
        }
        auto it = ports.find(location);
        if (it == ports.end()) {
            auto port = std::make_unique<Port>();
            port->location = location;
            it = ports.emplace(location, std::move(port)).first;
        } else if (it->second->running || !it->second->armed) {
            continue;
        }
        StartRun(*it->second);
    }
}

void StationEngine::Impl::Unplugged(Port& port) {
    const std::string location = port.location;
    view.RowRemoved(location);
    ports.erase(location);
}

void StationEngine::Impl::OnRemoval(const std::string& location, const std::string& path) {
    // A removal seen after the run ended counts even when the controller is
    // back before the station looks again (a quick re-plug).
    const auto it = ports.find(location);
    if (it == ports.end() || it->second->running || it->second->armed) return;
    Port& port = *it->second;
    if (location.empty()) {
        std::erase(port.endPaths, AsciiLower(path));
        if (!port.endPaths.empty()) return;
    }
    Unplugged(port);
}

void StationEngine::Impl::StartRun(Port& port) {
    port.row = StationRow{};
    port.row.port = port.location;
    port.running = true;
    port.armed = false;
    port.pressed = false;
    port.endPaths.clear();
    port.started = SteadyClock::now();
    port.events = view.EventsOf(port.location);
    port.relay = std::make_unique<Relay>(*this, port);
    view.RowChanged(port.row);
    port.thread = std::thread([this, &port] { RunPort(port); });
}

void StationEngine::Impl::RunPort(Port& port) {
    // Its own tables, its own port; the rumble form of the switch cannot be
    // aimed at one port, so only a controller alone may be asked by it.
    RunScope scope;
    scope.location = port.location;
    scope.logTag = port.location;
    scope.rumbleAllowed = port.location.empty();
    scope.restoreDrivers = false;  // the station did, before its first run
    std::unique_ptr<IHotplugSource> listener = hub ? hub->Listener() : nullptr;

    LineBuffer lines([this, &port](std::string line) {
        loop.Post([this, &port, line = std::move(line)] { view.PortLine(port.location, line); });
    });
    std::ostream out(&lines);
    ConsoleSettings console;
    console.update = true;
    console.force = settings.force;
    console.waitSeconds = settings.waitSeconds;
    console.appName = settings.appName;
    console.virtualClock = settings.virtualClock;
    console.events = port.relay.get();
    console.scope = &scope;
    const int result = RunConsole(console, listener.get(), out);
    out.flush();
    lines.Flush();
    listener.reset();
    loop.Post([this, &port, result] { OnRunEnded(port, result); });
}

void StationEngine::Impl::Changed(Port& port) {
    port.row.seconds = std::chrono::duration<double>(SteadyClock::now() - port.started).count();
    view.RowChanged(port.row);
}

void StationEngine::Impl::OnRunEnded(Port& port, int result) {
    port.thread.join();
    port.running = false;
    port.row.status = result;
    port.row.outcome = OutcomeOfStatus(result);
    counts.Add(port.row.outcome);
    if (port.events != nullptr) port.events->Result(result);
    Changed(port);
    // The controller still attached is left alone until it is unplugged.
    const Attached attached = Enumerate();
    if (const auto it = attached.find(port.location); it != attached.end()) {
        if (port.location.empty()) port.endPaths = it->second;
    }
    port.armed = attached.count(port.location) == 0;
    Reconcile();
    MaybeFinish();
}

void StationEngine::Impl::MaybeFinish() {
    if (finished || Running() > 0) return;
    const bool countReached =
        settings.count != 0 && static_cast<unsigned>(counts.Total()) >= settings.count;
    if (!stopping && !countReached) return;
    finished = true;
    status = StationExitStatus(counts);
    view.Finished(counts, status);
    loop.Quit();
}

StationEngine::StationEngine(StationSettings settings, IHotplugSource* hotplug, IStationView& view)
    : impl_(std::make_unique<Impl>(std::move(settings), hotplug, view)) {}

StationEngine::~StationEngine() {
    // Run joins every run's thread before it returns; an engine that never
    // ran has none.
    if (impl_->watcher) impl_->watcher->Stop();
}

void StationEngine::RequestStop() {
    Impl* impl = impl_.get();
    impl->stopRequested = true;
    impl->loop.Post([impl] {
        if (impl->stopping || impl->finished) return;
        impl->stopping = true;
        const int running = impl->Running();
        if (running > 0)
            impl->view.Notice("Stopping: no new controllers are taken; waiting for " +
                              std::to_string(running) + (running == 1 ? " run" : " runs") +
                              " in progress to finish.");
        impl->MaybeFinish();
    });
}

int StationEngine::Run() {
    Impl& e = *impl_;
    std::string problem;
    if (!LoadPackageConfig(e.config, [&problem](const std::string& text) { problem = text; })) {
        e.view.Notice(problem.empty() ? "The built-in package could not be loaded." : problem);
        e.finished = true;
        e.status = kExitFailed;
        e.view.Finished(e.counts, e.status);
        return e.status;
    }
    const bool subVersions =
        CFirmwareUpgradeDlg::CheckComputerName() || ReadSettingFlag(SettingsPath(), kKeyShowSubVer);
    e.view.Started(e.config.ProductNameUtf8(), PackageVersionLabel(e.config, subVersions));
    e.identities = e.Identities();
    // Interfaces a program left without their driver get it back now, while
    // no run may have taken one off for a request of its own.
    HidBackend().RestoreDrivers(e.identities);

    if (e.hub) {
        e.watcher = e.hub->Listener();
        e.watcher->Start([&e](HotplugEvent event, const std::string& path) {
            if (event == HotplugEvent::Removal && e.IsOurs(path)) {
                e.loop.Post([&e, path, location = HidBackend().Location(path)] {
                    e.OnRemoval(location, path);
                });
            }
            e.QueueReconcile();
        });
    }
    e.loop.Post([&e] {
        e.Reconcile();
        e.MaybeFinish();
    });
    e.loop.Run();
    if (e.watcher) e.watcher->Stop();
    // Only a loop stopped by force leaves runs behind; they end by themselves.
    for (auto& [location, port] : e.ports) {
        if (port->thread.joinable()) port->thread.join();
    }
    return e.status;
}

}  // namespace fwu
