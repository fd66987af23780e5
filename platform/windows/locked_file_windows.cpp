// Whole-line appends and locked reads of a file several processes share (the
// update history): LockFileEx orders the processes, each write goes at the
// end the lock holder sees, FlushFileBuffers puts the line on the disk before
// the caller goes on.
#include <windows.h>

#include <string>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

std::string ErrorText(const char* what, DWORD error) {
    return Format("%s: Windows error %lu", what, static_cast<unsigned long>(error));
}

// An open file, unlocked and closed when it goes.
class LockedFile {
  public:
    explicit LockedFile(HANDLE handle) : handle_(handle) {}
    ~LockedFile() {
        if (locked_) {
            OVERLAPPED whole{};
            ::UnlockFileEx(handle_, 0, MAXDWORD, MAXDWORD, &whole);
        }
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    HANDLE get() const { return handle_; }
    // The whole file (every byte it may ever have), waiting for other holders.
    bool Lock(bool exclusive) {
        OVERLAPPED whole{};
        locked_ = ::LockFileEx(handle_, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, MAXDWORD,
                               MAXDWORD, &whole) != 0;
        return locked_;
    }

  private:
    HANDLE handle_;
    bool locked_ = false;
};

OVERLAPPED At(ULONGLONG offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

std::string AppendPlatformFileLine(const std::string& path, const std::string& line) {
    LockedFile file(::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return ErrorText("open", ::GetLastError());
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return "not a regular file";
    if (!file.Lock(true)) return ErrorText("lock", ::GetLastError());
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return ErrorText("size", ::GetLastError());
    const auto end = static_cast<ULONGLONG>(size.QuadPart);

    // A line cut off by a power loss has no line feed: the new line must
    // not be glued to it, or it would be lost with it when read.
    bool cutOff = false;
    if (end > 0) {
        char last = '\n';
        DWORD got = 0;
        OVERLAPPED at = At(end - 1);
        if (!::ReadFile(file.get(), &last, 1, &got, &at))
            return ErrorText("read", ::GetLastError());
        cutOff = got == 1 && last != '\n';
    }
    std::string text(cutOff ? 1 : 0, '\n');
    text.append(line).push_back('\n');

    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        OVERLAPPED at = At(end + done);
        if (!::WriteFile(file.get(), text.data() + done, static_cast<DWORD>(text.size() - done),
                         &written, &at))
            return ErrorText("write", ::GetLastError());
        if (written == 0) return "write: nothing written";
        done += written;
    }
    if (!::FlushFileBuffers(file.get())) return ErrorText("flush", ::GetLastError());
    return {};
}

std::string ReadPlatformFileLocked(const std::string& path, std::string& content) {
    content.clear();
    LockedFile file(::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
        return ErrorText("open", error);
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return "not a regular file";
    if (!file.Lock(false)) return ErrorText("lock", ::GetLastError());
    char buffer[65536];
    ULONGLONG offset = 0;
    for (;;) {
        DWORD got = 0;
        OVERLAPPED at = At(offset);
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, &at)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF) break;
            return ErrorText("read", error);
        }
        if (got == 0) break;
        content.append(buffer, got);
        offset += got;
    }
    return {};
}

}  // namespace fwu
