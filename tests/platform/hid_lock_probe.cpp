// Another process's view of the per-controller lock of PATH (a file on
// Linux, an interface path on Windows): exits 0 when it could take the lock,
// 1 when another process holds it, 2 when no lock could be made, 3 when the
// query for the user disagrees with what taking the lock found.
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <memory>
#include <string>

#include "platform/hid_lock.h"

// Held until the program's static objects are destroyed, as the tool's
// process-wide slot tables hold their devices.
std::unique_ptr<fwu::HidLock> lock;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string path = argv[1];
#ifdef _WIN32
    const fwu::HidLockResult result = fwu::AcquireHidLock(path, lock);
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 2;
    const fwu::HidLockResult result = fwu::AcquireHidLock(fd, lock);
#endif
    const bool lockedByOther = fwu::HidLockedByOther(path);
    switch (result) {
        case fwu::HidLockResult::Held:
            return lockedByOther ? 3 : 0;
        case fwu::HidLockResult::LockedByOther:
            return lockedByOther ? 1 : 3;
        case fwu::HidLockResult::Unavailable:
            break;
    }
    return 2;
}
