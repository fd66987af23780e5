// Single-instance guard on Linux: an exclusive, non-blocking flock on a file
// named after the guard in the user's runtime directory. The kernel drops the
// lock when the holder's descriptor closes, including when it dies.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

std::string LockFilePath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
        return std::string(runtime) + "/" + name + ".lock";
    return "/tmp/" + name + "-" + std::to_string(::getuid()) + ".lock";
}

}  // namespace

InstanceResult AcquirePlatformInstanceGuard(const std::string& name,
                                            std::unique_ptr<IInstanceGuard>& guard) {
    guard.reset();
    if (name.empty() || name.find('/') != std::string::npos) return InstanceResult::NoGuard;
    const std::string path = LockFilePath(name);
    // O_NOFOLLOW: in /tmp another user could plant a symbolic link.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return InstanceResult::NoGuard;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? InstanceResult::AlreadyRunning : InstanceResult::NoGuard;
    }
    guard = std::make_unique<FlockGuard>(fd);
    return InstanceResult::Acquired;
}

}  // namespace fwu
