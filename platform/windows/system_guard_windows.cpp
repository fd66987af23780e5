// Single-instance guard on Windows: a named mutex in the session's namespace,
// owned from creation. A second process sees that it existed already.
#include <windows.h>

#include <string_view>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

class MutexGuard : public IInstanceGuard {
  public:
    explicit MutexGuard(HANDLE h) : handle_(h) {}
    // The application keeps its guard until the process ends; closing the
    // last handle is what lets a later start succeed.
    ~MutexGuard() override { ::CloseHandle(handle_); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

  private:
    HANDLE handle_;
};

}  // namespace

InstanceResult AcquirePlatformInstanceGuard(const std::string& name,
                                            std::unique_ptr<IInstanceGuard>& guard) {
    guard.reset();
    HANDLE h = ::CreateMutexW(nullptr, TRUE, Wide(name).c_str());
    if (h == nullptr) return InstanceResult::NoGuard;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(h);
        return InstanceResult::AlreadyRunning;
    }
    guard = std::make_unique<MutexGuard>(h);
    return InstanceResult::Acquired;
}

}  // namespace fwu
