// System services on Windows. Text crosses this boundary as UTF-16 (wchar_t)
// and is UTF-8 inside the core.
#include <windows.h>
// windows.h first: the multimedia timer header depends on its types.
#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

// The executable's full path. A path longer than MAX_PATH comes back cut to
// the buffer's size; the buffer then grows so that the directory is right.
std::string ModulePath() {
    std::vector<wchar_t> buf(MAX_PATH);
    while (buf.size() <= 32768) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return Narrow(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
    return {};
}

class WindowsSystem : public ISystem {
  public:
    std::string ExecutablePath() override { return ModulePath(); }

    std::string ReadIniValue(const std::string& path, const std::string& section,
                             const std::string& key, std::size_t capacity) override {
        if (capacity == 0) return {};
        const std::size_t cap = std::min<std::size_t>(capacity, 65535);
        std::vector<wchar_t> buf(cap, L'\0');
        const DWORD n =
            ::GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buf.data(),
                                       static_cast<DWORD>(cap), Wide(path).c_str());
        return Narrow(buf.data(), std::min<std::size_t>(n, cap - 1));
    }

    std::string ComputerName() override {
        wchar_t name[257] = {};
        DWORD size = 257;
        if (!::GetComputerNameW(name, &size)) return {};
        return Narrow(name, std::min<DWORD>(size, 256));
    }

    std::optional<std::vector<std::uint8_t>> LoadRecord(int id) override {
        return LoadEmbeddedRecord(id);
    }

    LocalTime Now() override {
        SYSTEMTIME st{};
        ::GetLocalTime(&st);
        return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
    }

    InstanceResult AcquireSingleInstance(const std::string& name,
                                         std::unique_ptr<IInstanceGuard>& guard) override {
        return AcquirePlatformInstanceGuard(name, guard);
    }

    bool IsInstalledCopy() override {
        std::string path = ModulePath();
        const std::size_t cut = path.find_last_of("\\/");
        if (cut == std::string::npos) return false;
        path.resize(cut + 1);
        const DWORD attributes = ::GetFileAttributesW(Wide(path + FWU_INSTALLED_MARKER).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }

    std::optional<std::string> Environment(const std::string& name) override {
        const std::wstring wideName = Wide(name);
        std::vector<wchar_t> buf(256);
        for (;;) {
            ::SetLastError(ERROR_SUCCESS);
            const DWORD n = ::GetEnvironmentVariableW(wideName.c_str(), buf.data(),
                                                      static_cast<DWORD>(buf.size()));
            if (n == 0) {
                if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
                return std::string();
            }
            if (n < buf.size()) return Narrow(buf.data(), n);
            if (n > 32768) return std::nullopt;
            buf.resize(n);
        }
    }

    std::string HomeDirectory() override { return Environment("USERPROFILE").value_or(""); }

    // The per-user folders come from this process's own profile
    // (%APPDATA%, %LOCALAPPDATA%): an elevated process keeps its user's
    // profile, and one started as another user gets that user's. Ownership
    // on disk says nothing more here (an elevated process's folders belong
    // to the Administrators group).
    bool OwnedByEffectiveUser(const std::string& path) override { return !path.empty(); }

    std::string AppendLineLocked(const std::string& path, const std::string& line) override {
        return AppendPlatformFileLine(path, line);
    }

    std::string ReadFileLocked(const std::string& path, std::string& content) override {
        return ReadPlatformFileLocked(path, content);
    }
};

// Each pause runs with the system timer at 1 ms resolution, in slices so that
// a cancelled worker stops waiting.
class WindowsSleeper : public ISleeper {
  public:
    void Sleep(std::uint32_t ms) override {
        using Clock = std::chrono::steady_clock;
        ::timeBeginPeriod(1);
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!CancelRequested()) {
            const auto now = Clock::now();
            if (now >= end) break;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            ::Sleep(static_cast<DWORD>(std::min<long long>(left, 10)));
        }
        ::timeEndPeriod(1);
    }
};

}  // namespace

std::unique_ptr<ISystem> CreatePlatformSystem() {
    return std::make_unique<WindowsSystem>();
}

std::unique_ptr<ISleeper> CreatePlatformSleeper() {
    return std::make_unique<WindowsSleeper>();
}

}  // namespace fwu
