// The per-interface lock on Linux (platform/hid_lock.h): flock on the hidraw
// node, shared among this process's opens of it through a table keyed by the
// node's inode.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

#include "platform/hid_lock.h"

namespace fwu {
namespace {

using NodeKey = std::pair<dev_t, ino_t>;

struct HeldNode {
    int fd = -1;  // a duplicate of the first open's descriptor, which carries the flock
    int users = 0;
};

class LockTable {
  public:
    HidLockResult Acquire(int fd, NodeKey& key) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) return HidLockResult::Unavailable;
        key = {info.st_dev, info.st_ino};
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = held_.find(key); it != held_.end()) {
            ++it->second.users;
            return HidLockResult::Held;
        }
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) return HidLockResult::Unavailable;
        int rc;
        do {
            rc = ::flock(copy, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int error = errno;
            ::close(copy);
            return error == EWOULDBLOCK ? HidLockResult::LockedByOther : HidLockResult::Unavailable;
        }
        held_[key] = HeldNode{copy, 1};
        return HidLockResult::Held;
    }

    void Release(const NodeKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = held_.find(key);
        if (it == held_.end() || --it->second.users > 0) return;
        // The lock ends with the last descriptor of the first open's file
        // description: this duplicate, once that open itself has closed.
        ::close(it->second.fd);
        held_.erase(it);
    }

    bool Holds(const NodeKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_.count(key) != 0;
    }

  private:
    std::mutex mutex_;
    std::map<NodeKey, HeldNode> held_;
};

// Never destroyed: devices held by process-wide slot tables let go of their
// locks while the program's static objects are being destroyed.
LockTable& Table() {
    static LockTable* const table = new LockTable;
    return *table;
}

class NodeLock final : public HidLock {
  public:
    explicit NodeLock(NodeKey key) : key_(key) {}
    ~NodeLock() override { Table().Release(key_); }
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;

  private:
    NodeKey key_;
};

}  // namespace

HidLockResult AcquireHidLock(int fd, std::unique_ptr<HidLock>& lock) {
    lock.reset();
    NodeKey key{};
    const HidLockResult result = Table().Acquire(fd, key);
    if (result == HidLockResult::Held) lock = std::make_unique<NodeLock>(key);
    return result;
}

bool HidLockedByOther(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    bool locked = false;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && !Table().Holds({info.st_dev, info.st_ino})) {
        // A shared lock is refused only while someone holds the exclusive
        // one; it goes again with the descriptor.
        locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }
    ::close(fd);
    return locked;
}

}  // namespace fwu
