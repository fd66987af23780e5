// The per-interface lock on Windows (platform/hid_lock.h): a named mutex in
// the Global\ namespace, so that every session and user meets the same one,
// named from a hash of the lower-cased interface path. Its existence is the
// lock: the system destroys it with the last handle, also when the process
// holding it ends. This process's opens of one interface share one handle.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

#include "base/text.h"
#include "platform/hid_lock.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

struct HeldMutex {
    HANDLE handle = nullptr;
    int users = 0;
};

struct HeldTable {
    std::mutex mutex;
    std::map<std::wstring, HeldMutex> held;
};

// Never destroyed: devices held by process-wide slot tables let go of their
// locks while the program's static objects are being destroyed.
HeldTable& Table() {
    static HeldTable* const table = new HeldTable;
    return *table;
}

class MutexLock final : public HidLock {
  public:
    explicit MutexLock(std::wstring name) : name_(std::move(name)) {}
    ~MutexLock() override {
        HeldTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.held.find(name_);
        if (it == table.held.end() || --it->second.users > 0) return;
        CloseHandle(it->second.handle);
        table.held.erase(it);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    std::wstring name_;
};

}  // namespace

std::wstring HidLockName(const std::string& path) {
    // 64-bit FNV-1a of the path's lower-case UTF-8 bytes.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : AsciiLower(path)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    wchar_t digits[17] = {};
    std::swprintf(digits, 17, L"%016llx", static_cast<unsigned long long>(hash));
    return std::wstring(L"Global\\FirmwareUpgrade-HidLock-") + digits;
}

HidLockResult AcquireHidLock(const std::string& path, std::unique_ptr<HidLock>& lock) {
    lock.reset();
    std::wstring name = HidLockName(path);
    HeldTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (auto it = table.held.find(name); it != table.held.end()) {
        ++it->second.users;
        lock = std::make_unique<MutexLock>(std::move(name));
        return HidLockResult::Held;
    }
    HANDLE handle = CreateMutexW(nullptr, FALSE, name.c_str());
    if (handle == nullptr) {
        // Made by a process of another user, whose object this one may not
        // open: held there.
        return GetLastError() == ERROR_ACCESS_DENIED ? HidLockResult::LockedByOther
                                                     : HidLockResult::Unavailable;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return HidLockResult::LockedByOther;
    }
    table.held[name] = HeldMutex{handle, 1};
    lock = std::make_unique<MutexLock>(std::move(name));
    return HidLockResult::Held;
}

bool HidLockedByOther(const std::string& path) {
    const std::wstring name = HidLockName(path);
    {
        HeldTable& table = Table();
        std::lock_guard<std::mutex> guard(table.mutex);
        if (table.held.count(name) != 0) return false;
    }
    // Opening, unlike creating, leaves no object behind.
    HANDLE handle = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (handle != nullptr) {
        CloseHandle(handle);
        return true;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace fwu
