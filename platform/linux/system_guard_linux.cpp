// Single-instance guard on Linux: an exclusive, non-blocking flock on a file
// named after the guard, one per user whatever the environment: in the
// user's runtime directory /run/user/UID when the system made one, otherwise
// in /tmp. The kernel drops the lock when the holder's descriptor closes,
// including when it dies.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace fwu {
namespace {

class FlockGuard : public IInstanceGuard {
  public:
    explicit FlockGuard(int fd) : fd_(fd) {}
    ~FlockGuard() override { ::close(fd_); }
    FlockGuard(const FlockGuard&) = delete;
    FlockGuard& operator=(const FlockGuard&) = delete;

  private:
    int fd_;
};

}  // namespace

std::string PlatformInstanceLockPath(const std::string& name) {
    // Not XDG_RUNTIME_DIR: two starts of one user with and without it set
    // must still meet at the same lock.
    const uid_t uid = ::geteuid();
    const std::string runtime = "/run/user/" + std::to_string(uid);
    struct stat st {};
    if (::lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid)
        return runtime + "/" + name + ".lock";
    return "/tmp/" + name + "-" + std::to_string(uid) + ".lock";
}

InstanceResult AcquirePlatformInstanceGuard(const std::string& name,
                                            std::unique_ptr<IInstanceGuard>& guard) {
    guard.reset();
    if (name.empty() || name.find('/') != std::string::npos) return InstanceResult::NoGuard;
    const std::string path = PlatformInstanceLockPath(name);
    // In /tmp another user could plant a file under this name: a symbolic
    // link (O_NOFOLLOW), a FIFO (O_NONBLOCK) or a file of their own, which
    // could then hold every start of ours. Only our own regular file guards.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return InstanceResult::NoGuard;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return InstanceResult::NoGuard;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? InstanceResult::AlreadyRunning : InstanceResult::NoGuard;
    }
    guard = std::make_unique<FlockGuard>(fd);
    return InstanceResult::Acquired;
}

}  // namespace fwu
