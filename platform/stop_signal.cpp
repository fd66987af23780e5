#include "platform/stop_signal.h"

#include <cstdlib>
#include <shared_mutex>

namespace fwu {
namespace {

// Windows hold it shared; the end of the process takes it exclusively and
// never lets go. Never destroyed: a window may open while the program's
// static objects are being destroyed (a device closed by a process-wide
// slot table).
std::shared_mutex& WindowLock() {
    static std::shared_mutex* const lock = new std::shared_mutex;
    return *lock;
}

}  // namespace

CriticalWindow::CriticalWindow() {
    WindowLock().lock_shared();
}

CriticalWindow::~CriticalWindow() {
    WindowLock().unlock_shared();
}

void EndProcessNow(int status) {
    WindowLock().lock();
    // Streams are not flushed: the front ends flush every line as they
    // write it, and a stream blocked on a full pipe would hold the end up.
    std::_Exit(status);
}

}  // namespace fwu
