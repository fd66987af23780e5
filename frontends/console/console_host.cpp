#include "frontends/console/console_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

#include "device/slots.h"
#include "frontends/options.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "ui/dialog_loop.h"
#include "upgrade/WorkThread.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fwu {
namespace {

constexpr int kBarWidth = 40;
// How often the end of the worker's closing exchange is looked for.
constexpr unsigned kClosingPollMs = 50;
// The texts of the window's template; a label still showing one is not
// printed when the window has been initialised.
constexpr const char* kTemplateName = "No Device";
constexpr const char* kTemplateVersion = "0.0";

// The label's name in console events.
const char* LabelEventName(int id) {
    switch (id) {
        case IDC_DEVICE_NAME:
            return "device";
        case IDC_DEVICE_VERSION:
            return "device_version";
        default:
            return "package_version";
    }
}

const char* LabelPrefix(int id) {
    switch (id) {
        case IDC_DEVICE_NAME:
            return "Device: ";
        case IDC_DEVICE_VERSION:
            return "Device FW Version: ";
        case IDC_PACKAGE_VERSION:
            return "Package FW Version: ";
        default:
            return nullptr;
    }
}

}  // namespace

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

ConsoleHost::ConsoleHost(DialogLoop& loop, IHotplugSource* hotplug, std::ostream& out,
                         ConsoleSettings settings)
    : loop_(loop), hotplug_(hotplug), out_(out), settings_(std::move(settings)) {
    // The texts of the window's template, so that only changes are printed.
    labels_[IDC_DEVICE_NAME] = kTemplateName;
    labels_[IDC_DEVICE_VERSION] = kTemplateVersion;
    labels_[IDC_PACKAGE_VERSION] = kTemplateVersion;
}

ConsoleHost::~ConsoleHost() {
    UnregisterHidNotification();
}

void ConsoleHost::Attach(CFirmwareUpgradeDlg& dialog) {
    dialog_ = &dialog;
    // The console confirms an update itself; its Finish ends the record.
    dialog.SetConfirmsUpdates(true);
}

void ConsoleHost::Start() {
    // The labels as initialisation left them: the package's version, then
    // the controller found already plugged in, if any.
    initialised_ = true;
    for (int id : {IDC_PACKAGE_VERSION, IDC_DEVICE_NAME, IDC_DEVICE_VERSION}) {
        const std::string& text = labels_[id];
        if (text.empty() || text == kTemplateName || text == kTemplateVersion) continue;
        if (id == IDC_DEVICE_VERSION && labels_[IDC_DEVICE_NAME] == kTemplateName) continue;
        PrintLabel(id);
    }
    EndIfOnlyLocked();
    if (!finished_) ArmWait();
}

void ConsoleHost::EndIfOnlyLocked() {
    if (initialised_ && lockedSeen_ && !shown_ && !pressed_) Finish(kExitNoDevice, "");
}

void ConsoleHost::OnStopRequest(const StopRequest& request) {
    Finish(kExitFailed, "Stopped by " + request.what + ".");
}

void ConsoleHost::ArmWait() {
    const unsigned ms = static_cast<unsigned>(std::max(settings_.waitSeconds, 0)) * 1000u;
    loop_.SetTimer(kWaitTimerId, std::max(ms, 1u), [this](unsigned) { OnWaitOver(); });
}

void ConsoleHost::Finish(int status, const std::string& why) {
    if (finished_) return;
    EndBarLine();
    if (!why.empty()) out_ << why << '\n';
    out_.flush();
    if (!why.empty() && settings_.events != nullptr) settings_.events->Notice(why);
    finished_ = true;
    status_ = status;
    // The press's record for the update history, if Update was pressed.
    if (dialog_ != nullptr) dialog_->EndRunRecord(status, returnedVersion_);
}

void ConsoleHost::OnWaitOver() {
    loop_.KillTimer(kWaitTimerId);
    const std::string seconds = std::to_string(settings_.waitSeconds) + " s";
    if (finished_) return;
    if (confirming_) {
        if (settings_.events != nullptr)
            settings_.events->Confirmation(false, "", labels_[IDC_PACKAGE_VERSION]);
        Finish(kExitUnconfirmed, "The controller did not come back in normal mode within " +
                                     seconds + " of the update.");
        return;
    }
    if (pressed_) return;
    if (!shown_) {
        Finish(kExitNoDevice, "No controller was found within " + seconds + ".");
    } else if (!settings_.update) {
        Finish(kExitUpdated, "");
    } else {
        // A controller was shown but went away before Update could be
        // pressed, and none has come since.
        Finish(kExitNoDevice, "No controller was ready for Update within " + seconds +
                                  ": the one shown went away.");
    }
}

void ConsoleHost::BeginConfirmation() {
    confirming_ = true;
    EndBarLine();
    const char* waiting = "Waiting for the controller to restart with the new firmware.";
    out_ << waiting << '\n';
    out_.flush();
    if (settings_.events != nullptr) settings_.events->Notice(waiting);
    OnClosingTick();
    if (!exchangeDone_)
        loop_.SetTimer(kClosingTimerId, kClosingPollMs, [this](unsigned) { OnClosingTick(); });
}

void ConsoleHost::OnClosingTick() {
    // The worker still tells the controller that the update is over and
    // pauses before it is idle; the wait for the controller's return is
    // counted from then on.
    if (finished_ || exchangeDone_) return;
    if (dialog_ != nullptr && !dialog_->WorkerIdle()) return;
    exchangeDone_ = true;
    loop_.KillTimer(kClosingTimerId);
    ArmWait();
    CheckConfirmation();
}

void ConsoleHost::CheckConfirmation() {
    if (finished_ || !exchangeDone_ || !returned_) return;
    const std::string& package = labels_[IDC_PACKAGE_VERSION];
    if (settings_.events != nullptr)
        settings_.events->Confirmation(true, returnedVersion_, package);
    if (returnedVersion_ == package) {
        Finish(kExitUpdated, "The controller runs the package's firmware " + package + ".");
    } else {
        Finish(kExitUnconfirmed, "The controller came back with firmware " + returnedVersion_ +
                                     ", not the package's " + package + ".");
    }
}

void ConsoleHost::SetWindowTitle(const std::string& title) {
    EndBarLine();
    out_ << "Product: " << title << '\n';
    out_.flush();
    if (settings_.events != nullptr) settings_.events->Title(title);
}

void ConsoleHost::SetControlText(int id, const std::string& text) {
    const char* prefix = LabelPrefix(id);
    if (prefix == nullptr) return;
    auto it = labels_.find(id);
    // While a returning controller is awaited its version is always shown,
    // even when the label already held the same text.
    const bool same = it != labels_.end() && it->second == text;
    if (same && !(confirming_ && id == IDC_DEVICE_VERSION)) return;
    labels_[id] = text;
    // An emptied label (the controller went away) says nothing "Device: No
    // Device" does not.
    if (initialised_ && !text.empty()) PrintLabel(id);
}

void ConsoleHost::PrintLabel(int id) {
    const char* prefix = LabelPrefix(id);
    if (prefix == nullptr) return;
    EndBarLine();
    out_ << prefix << labels_[id] << '\n';
    out_.flush();
    if (settings_.events != nullptr) settings_.events->Label(LabelEventName(id), labels_[id]);
}

void ConsoleHost::EnableUpdateButton(bool enable) {
    buttonEnabled_ = enable;
    if (!enable) return;
    shown_ = true;
    if (confirming_) {
        // Only a controller in normal mode has come back from its update.
        if (dialog_ != nullptr && dialog_->Scope().normal().AnyTaken()) {
            returned_ = true;
            returnedVersion_ = labels_[IDC_DEVICE_VERSION];
            CheckConfirmation();
        }
        return;
    }
    if (settings_.update && !pressed_ && !pressQueued_ && !finished_) {
        // Pressed from the loop, after the handler that enabled the button.
        pressQueued_ = true;
        loop_.Post([this] { PressUpdate(); });
    }
}

void ConsoleHost::PressUpdate() {
    pressQueued_ = false;
    if (finished_ || pressed_ || !buttonEnabled_ || dialog_ == nullptr) return;
    pressed_ = true;
    loop_.KillTimer(kWaitTimerId);
    EndBarLine();
    const char* pressing =
        settings_.force ? "Pressing Update with Shift held." : "Pressing Update.";
    out_ << pressing << '\n';
    out_.flush();
    if (settings_.events != nullptr) settings_.events->Notice(pressing);
    shiftHeld_ = settings_.force;
    dialog_->OnBnClickedUpdateButton();
    shiftHeld_ = false;
    // A press that neither showed a box nor started a run leaves nothing to
    // wait for: no controller accepted the switch to upgrade mode.
    if (!finished_ && !dialog_->Updating())
        Finish(kExitFailed, "The controller did not switch to its upgrade mode.");
}

void ConsoleHost::SetProgressRange(int lower, int upper) {
    rangeLower_ = lower;
    rangeUpper_ = upper;
    lastPercent_ = -1;
    if (settings_.events != nullptr) settings_.events->ProgressRange(lower, upper);
}

void ConsoleHost::SetProgressPos(int pos) {
    // Only a run moves the bar; the returning controller's window reset
    // after "Update OK" does not.
    if (!pressed_ || finished_ || confirming_) return;
    int percent = 0;
    if (rangeUpper_ > rangeLower_) {
        const long long done = static_cast<long long>(pos) - rangeLower_;
        percent =
            static_cast<int>(done * 100 / (static_cast<long long>(rangeUpper_) - rangeLower_));
        percent = std::clamp(percent, 0, 100);
    }
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    if (settings_.terminal) {
        const int filled = percent * kBarWidth / 100;
        out_ << "\rProgress [" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << percent
             << '%';
        barOnLine_ = true;
    } else {
        out_ << "Progress: " << percent << "%\n";
    }
    out_.flush();
    if (settings_.events != nullptr)
        settings_.events->Progress(pos, rangeLower_, rangeUpper_, percent);
}

void ConsoleHost::EndBarLine() {
    if (!barOnLine_) return;
    out_ << '\n';
    barOnLine_ = false;
}

void ConsoleHost::ShowMessageBox(const std::string& text, const std::string& caption,
                                 RunOutcome outcome) {
    EndBarLine();
    if (outcome == RunOutcome::Locked) {
        // Not a run's end: said as a line of the console's own.
        out_ << text << '\n';
        out_.flush();
        if (settings_.events != nullptr) settings_.events->Notice(text);
        lockedSeen_ = true;
        EndIfOnlyLocked();
        return;
    }
    out_ << "[" << (caption.empty() ? settings_.appName : caption) << "]\n" << text;
    if (text.empty() || text.back() != '\n') out_ << '\n';
    out_.flush();
    if (settings_.events != nullptr)
        settings_.events->MessageShown(caption.empty() ? settings_.appName : caption, text);
    // Every box ends the run: no other box is expected while the console
    // drives the dialog.
    if (outcome == RunOutcome::Updated) {
        BeginConfirmation();
    } else if (outcome == RunOutcome::Refused) {
        Finish(kExitRefused, "");
    } else {
        Finish(kExitFailed, "");
    }
}

void ConsoleHost::SetTimer(unsigned id, unsigned periodMs) {
    loop_.SetTimer(id, periodMs, [this](unsigned tick) {
        if (dialog_ != nullptr) dialog_->OnTimer(tick);
    });
}

void ConsoleHost::KillTimer(unsigned id) {
    loop_.KillTimer(id);
}

void ConsoleHost::ShowAboutBox() {
    EndBarLine();
    out_ << "[" << CAboutDlg::kTitle << "]\n"
         << CAboutDlg::kLine1 << '\n'
         << CAboutDlg::kLine2 << '\n';
    out_.flush();
    if (settings_.events != nullptr)
        settings_.events->MessageShown(CAboutDlg::kTitle,
                                       std::string(CAboutDlg::kLine1) + '\n' + CAboutDlg::kLine2);
}

bool ConsoleHost::RegisterHidNotification() {
    if (hotplug_ == nullptr || hotplugRunning_) return hotplugRunning_;
    hotplugRunning_ = hotplug_->Start([this](HotplugEvent event, const std::string& path) {
        loop_.Post([this, event, path] {
            if (dialog_ != nullptr && !finished_) dialog_->OnDeviceChange(event, path);
        });
    });
    return hotplugRunning_;
}

void ConsoleHost::UnregisterHidNotification() {
    if (!hotplugRunning_) return;
    hotplugRunning_ = false;
    hotplug_->Stop();
}

int RunConsole(const ConsoleSettings& settings, IHotplugSource* hotplug, std::ostream& out) {
    DialogLoop loop(settings.virtualClock ? DialogLoop::Clock::Virtual : DialogLoop::Clock::Real);
    ConsoleHost host(loop, hotplug, out, settings);
    CFirmwareUpgradeDlg dialog(host, settings.scope != nullptr ? *settings.scope : DefaultScope());
    host.Attach(dialog);
    LoopUpgradeSink sink(loop, [&dialog](unsigned msg, std::uintptr_t w, std::intptr_t l) {
        return dialog.OnWorkerMessage(msg, w, l);
    });
    dialog.SetWorkerSink(&sink);

    // From here on a stop request ends the run (the loop's thread takes it
    // between two handlers, so a request to the controller in progress
    // completes first).
    const StopRoute stopRoute(settings.stops, [&loop, &host](const StopRequest& request) {
        loop.Post([&host, request] { host.OnStopRequest(request); });
    });
    loop.Post([&] {
        dialog.OnInitDialog();
        host.Start();
    });
    // The dialog's own time-outs end every run; this bound only guards
    // against a run that never reports.
    const auto limit = std::chrono::seconds(settings.waitSeconds) + std::chrono::minutes(10);
    const bool done = loop.RunUntil([&] { return host.Finished(); },
                                    std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    if (!done) host.Finish(kExitFailed, "The update did not finish in time.");
    // Stop the loop first: a worker message sent from now on is dropped, so
    // shutting the worker down cannot wait on the loop.
    dialog.Stop([&loop] { loop.Quit(); });
    return host.ExitStatus();
}

}  // namespace fwu
