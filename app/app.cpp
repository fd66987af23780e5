#include "app/app.h"

#include <utility>

#include "app/settings.h"

namespace fwu {

CFirmwareUpgradeApp::CFirmwareUpgradeApp(DialogRunner runDialog, MessageBoxFn messageBox)
    : runDialog_(std::move(runDialog)), messageBox_(std::move(messageBox)) {}

bool CFirmwareUpgradeApp::InitInstance() {
    std::unique_ptr<IInstanceGuard> guard;
    const InstanceResult result = System().AcquireSingleInstance(kMutexName, guard);
    if (result == InstanceResult::AlreadyRunning) {
        if (messageBox_) messageBox_(kAlreadyRunningText, GetAppName());
        return false;
    }
    // Acquired or NoGuard: without a guard the tool starts anyway.
    if (result == InstanceResult::Acquired) guard_ = std::move(guard);
    if (runDialog_) runDialog_();
    return false;
}

}  // namespace fwu
