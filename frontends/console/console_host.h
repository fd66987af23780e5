// The console front end: the main dialog's logic on a DialogLoop in real
// time, its window shown as text lines. Optionally presses Update once a
// controller is shown and turns the outcome into an exit status.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

#include "frontends/console/console_events.h"
#include "frontends/stop_requests.h"
#include "platform/hid.h"
#include "ui/host.h"

namespace fwu {

class CFirmwareUpgradeDlg;
class DialogLoop;
class RunScope;

struct ConsoleSettings {
    bool update = false;        // press Update once a controller is shown
    bool force = false;         // hold Shift for that press
    int waitSeconds = 10;       // how long to wait for a controller
    std::string appName;        // caption of boxes without one
    bool terminal = false;      // draw the progress as a bar redrawn in place
    bool virtualClock = false;  // timers in virtual time (tests: no real waits)
    // Also told every event (--json); may be null.
    ConsoleEvents* events = nullptr;
    // The controllers the run serves (one port of a station); null: the
    // default scope, every port.
    RunScope* scope = nullptr;
    // Stop requests (Ctrl+C, SIGTERM) end the run while it lasts; may be null.
    StopRequests* stops = nullptr;
};

// Timers of the console itself (the dialog owns timer 1): the bounded wait
// for a controller (and, after "Update OK", for its return), and the check
// for the worker's closing exchange.
inline constexpr unsigned kWaitTimerId = 2;
inline constexpr unsigned kClosingTimerId = 3;

class ConsoleHost : public IDialogHost {
  public:
    ConsoleHost(DialogLoop& loop, IHotplugSource* hotplug, std::ostream& out,
                ConsoleSettings settings);
    ~ConsoleHost() override;

    void Attach(CFirmwareUpgradeDlg& dialog);

    // On the loop's thread, once the dialog is initialised: arms the wait.
    void Start();

    bool Finished() const { return finished_; }
    int ExitStatus() const { return status_; }
    // End the run with `status`, printing `why` when it is not empty.
    void Finish(int status, const std::string& why);
    // A stop request (on the loop's thread): the run ends with status 1 and
    // the line "Stopped by WHAT.".
    void OnStopRequest(const StopRequest& request);

    // IDialogHost
    void SetWindowTitle(const std::string& title) override;
    void SetControlText(int id, const std::string& text) override;
    void EnableUpdateButton(bool enable) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPos(int pos) override;
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        RunOutcome outcome) override;
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    bool IsShiftDown() override { return shiftHeld_; }
    void ShowAboutBox() override;
    bool RegisterHidNotification() override;
    void UnregisterHidNotification() override;

  private:
    void PressUpdate();
    void OnWaitOver();
    // A controller was left alone because another program holds it: with
    // nothing else to show, the run ends as if no controller had come.
    void EndIfOnlyLocked();
    void EndBarLine();
    void PrintLabel(int id);
    // After "Update OK": wait for the worker's end-of-image exchange, then
    // for the controller to come back in normal mode with the package's
    // firmware.
    void BeginConfirmation();
    void OnClosingTick();
    void ArmWait();
    void CheckConfirmation();

    DialogLoop& loop_;
    IHotplugSource* hotplug_;
    std::ostream& out_;
    const ConsoleSettings settings_;
    CFirmwareUpgradeDlg* dialog_ = nullptr;

    std::map<int, std::string> labels_;
    bool buttonEnabled_ = false;
    bool shown_ = false;  // a controller was shown (Update enabled)
    bool pressed_ = false;
    bool pressQueued_ = false;
    bool shiftHeld_ = false;
    bool hotplugRunning_ = false;
    bool initialised_ = false;  // the dialog's initialisation is over
    bool lockedSeen_ = false;   // a controller was found locked by another program

    bool confirming_ = false;      // "Update OK" shown
    bool exchangeDone_ = false;    // the worker has finished its last job
    bool returned_ = false;        // a controller came back in normal mode
    std::string returnedVersion_;  // its version label

    int rangeLower_ = 0;
    int rangeUpper_ = 0;
    int lastPercent_ = -1;
    bool barOnLine_ = false;

    bool finished_ = false;
    int status_ = 0;
};

// Runs the console front end to its end; returns the exit status. `hotplug`
// may be null (then only controllers present at the start are seen).
int RunConsole(const ConsoleSettings& settings, IHotplugSource* hotplug, std::ostream& out);

// Whether standard output is a terminal.
bool StdoutIsTerminal();

}  // namespace fwu
