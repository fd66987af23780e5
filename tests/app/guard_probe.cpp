// Tries to take the single-instance guard named on the command line (the
// application's own name by default) and exits 0 when it got it, 1 when
// another process holds it, 2 when no guard could be made.
#include <memory>
#include <string>

#include "app/app.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : fwu::CFirmwareUpgradeApp::kMutexName;
    std::unique_ptr<fwu::IInstanceGuard> guard;
    switch (fwu::AcquirePlatformInstanceGuard(name, guard)) {
        case fwu::InstanceResult::Acquired:
            return 0;
        case fwu::InstanceResult::AlreadyRunning:
            return 1;
        case fwu::InstanceResult::NoGuard:
            break;
    }
    return 2;
}
