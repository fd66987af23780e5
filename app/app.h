// The application object: takes the single-instance guard, then runs the
// main dialog. The dialog runner and the message box are supplied by the
// front end, so that start-up works the same under every window toolkit.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/system.h"

namespace fwu {

class CFirmwareUpgradeApp {
  public:
    static constexpr const char* kMutexName =
        "CFirmwareUpgradeApp_7D3E51A0-2B94-4C6F-8E17-05C9A3F2D684";
    static constexpr const char* kAlreadyRunningText = "The program is already running!";

    // Runs the main dialog modally; returns when it closes.
    using DialogRunner = std::function<void()>;
    // Modal warning box with an OK button: text, caption.
    using MessageBoxFn = std::function<void(const std::string&, const std::string&)>;

    CFirmwareUpgradeApp(DialogRunner runDialog, MessageBoxFn messageBox);

    // Takes the guard; a second copy shows "The program is already running!"
    // and stops. Otherwise the dialog runs. Always returns false: the
    // process ends after it.
    bool InitInstance();

    // Whether this process holds the single-instance guard.
    bool HoldsGuard() const { return guard_ != nullptr; }

  private:
    DialogRunner runDialog_;
    MessageBoxFn messageBox_;
    // Held for as long as the application object lives, i.e. the process.
    std::unique_ptr<IInstanceGuard> guard_;
};

}  // namespace fwu
