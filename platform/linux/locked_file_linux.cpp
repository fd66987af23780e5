// Whole-line appends and locked reads of a file several processes share (the
// update history): flock() orders the processes, O_APPEND puts every write at
// the end, fsync() puts the line on the disk before the caller goes on.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace fwu {
namespace {

std::string ErrorText(const char* what, int error) {
    return std::string(what) + ": " + std::system_category().message(error);
}

// An open descriptor, closed (and so unlocked) when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int Lock(int fd, int operation) {
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Only a regular file is ever read or appended to (a FIFO or a device put
// under the file's name is refused; O_NONBLOCK keeps a FIFO from blocking the
// open itself).
std::string CheckRegular(int fd, off_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return ErrorText("stat", errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    size = st.st_size;
    return {};
}

std::string Directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string AppendPlatformFileLine(const std::string& path, const std::string& line) {
    const Descriptor file(::open(
        path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600));
    if (file.get() < 0) return ErrorText("open", errno);
    if (const int error = Lock(file.get(), LOCK_EX); error != 0) return ErrorText("lock", error);
    off_t size = 0;
    if (std::string error = CheckRegular(file.get(), size); !error.empty()) return error;

    // A line cut off by a power loss has no line feed: the new line must
    // not be glued to it, or it would be lost with it when read.
    bool cutOff = false;
    if (size > 0) {
        char last = '\n';
        ssize_t got = -1;
        do {
            got = ::pread(file.get(), &last, 1, size - 1);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return ErrorText("read", errno);
        cutOff = got == 1 && last != '\n';
    }
    std::string text(cutOff ? 1 : 0, '\n');
    text.append(line).push_back('\n');

    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ErrorText("write", n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(file.get()) != 0) return ErrorText("sync", errno);
    // A file created just now is found again after a power loss only when
    // its directory entry is on the disk too.
    if (size == 0) {
        const Descriptor dir(::open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() >= 0) ::fsync(dir.get());
    }
    return {};
}

std::string ReadPlatformFileLocked(const std::string& path, std::string& content) {
    content.clear();
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) return errno == ENOENT ? std::string() : ErrorText("open", errno);
    if (const int error = Lock(file.get(), LOCK_SH); error != 0) return ErrorText("lock", error);
    off_t size = 0;
    if (std::string error = CheckRegular(file.get(), size); !error.empty()) return error;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrorText("read", errno);
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return {};
}

}  // namespace fwu
