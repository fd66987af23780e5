// What the dialog logic needs from the window that shows it. The Qt window,
// the Win32 dialog, the console front end and the tests' recording host each
// implement it; every call comes on the dialog's thread.
#pragma once

#include <string>

namespace fwu {

// Control identifiers of the main dialog.
inline constexpr int IDC_PROGRESS = 1000;
inline constexpr int IDC_UPDATE_BUTTON = 1001;
inline constexpr int IDC_PACKAGE_VERSION = 1002;
inline constexpr int IDC_DEVICE_VERSION = 1003;
inline constexpr int IDC_DEVICE_NAME = 1004;

inline constexpr unsigned kTimerId = 1;
inline constexpr unsigned kTimerPeriodMs = 100;
inline constexpr unsigned kSysCommandAbout = 0x0010;

// What a message box says about an update run. Every box ends the console
// front end's run; this value tells it how, instead of the box's text.
// Locked is the one box that ends no run: a controller is left alone because
// another program drives it (the console prints its text as a line and ends
// only when no other controller is there).
enum class RunOutcome { None, Updated, Refused, Failed, Locked };

class IDialogHost {
  public:
    virtual ~IDialogHost() = default;

    virtual void SetWindowTitle(const std::string& title) = 0;
    // Text of a static control (IDC_DEVICE_NAME, IDC_DEVICE_VERSION, IDC_PACKAGE_VERSION).
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void EnableUpdateButton(bool enable) = 0;
    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressPos(int pos) = 0;
    // Modal message box with an OK button; returns when it is closed. An
    // empty caption means the application's name. `outcome` is how the run
    // ended when the box reports its end (None for any other box).
    virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                                RunOutcome outcome) = 0;
    // Timer 1: ticks reach the dialog's OnTimer on the dialog's thread.
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual void KillTimer(unsigned id) = 0;
    // Whether a Shift key is held at this moment.
    virtual bool IsShiftDown() = 0;
    // The about box (modal).
    virtual void ShowAboutBox() = 0;

    // Start delivering HID interface arrivals and removals to the dialog's
    // OnDeviceChange on the dialog's thread; false when that is not possible
    // (arrivals then go unnoticed). Stopped by UnregisterHidNotification.
    virtual bool RegisterHidNotification() { return false; }
    virtual void UnregisterHidNotification() {}
};

}  // namespace fwu
