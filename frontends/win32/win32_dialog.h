// The Win32 front end: the main dialog from template 102, driven by the
// dialog logic CFirmwareUpgradeDlg through IDialogHost.
#pragma once

#include <string>

#include "platform/hid.h"

namespace fwu {

// Runs the dialog modally; returns when it closes. `simulated` delivers the
// arrivals and removals of a simulated controller; null: the system's device
// notifications for the HID interface class are used.
void RunWin32Dialog(IHotplugSource* simulated);

// Modal warning box with an OK button.
void ShowWin32Warning(const std::string& text, const std::string& caption);

// Give a program built for the window subsystem a console for its output:
// standard output that is already redirected stays; otherwise the parent's
// console is attached, or a new one is made.
void AttachConsoleOutput();

}  // namespace fwu
