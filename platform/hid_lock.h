// One controller, one driver of it: the lock a process holds on each HID
// interface it has open, seen by every other process whichever user runs it.
//   Linux: flock(LOCK_EX | LOCK_NB) on the hidraw node. A flock belongs to
//     one open file description, so a second open of the same node by the
//     same process would find it locked; a per-process table keyed by the
//     node's inode shares the lock among the process's opens instead, and
//     holds it (through a duplicate of the first open's descriptor) until
//     the last of them is let go, in whatever order they close.
//   Windows: a named mutex in the Global\ namespace named from a hash of the
//     lower-cased interface path, shared the same way within the process.
//     The object exists for as long as a process holds a handle to it (the
//     system closes the handles of a process that ends), so its existence is
//     the lock; ERROR_ACCESS_DENIED means another user's process made it.
#pragma once

#include <memory>
#include <string>

namespace fwu {

// The lock on one interface, shared by this process's opens of it; let go
// when the object is destroyed.
class HidLock {
  public:
    virtual ~HidLock() = default;
};

enum class HidLockResult {
    Held,           // `lock` holds it (newly taken or shared within the process)
    LockedByOther,  // another process holds it
    Unavailable,    // no lock could be made here; the interface is used without
};

#ifdef _WIN32
// `path`: the interface path (any case).
HidLockResult AcquireHidLock(const std::string& path, std::unique_ptr<HidLock>& lock);
// The name of the interface's mutex.
std::wstring HidLockName(const std::string& path);
#else
// `fd`: an open descriptor of the node (any file, for tests).
HidLockResult AcquireHidLock(int fd, std::unique_ptr<HidLock>& lock);
#endif

// Whether another process holds the lock of `path` (Linux: the node's file
// name); false when this process holds it or it cannot be told. Asked after
// an open failed, to say why.
bool HidLockedByOther(const std::string& path);

}  // namespace fwu
