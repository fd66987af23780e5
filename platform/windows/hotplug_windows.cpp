// Arrival and removal of HID interfaces on Windows: a hidden message-only
// window on a thread of its own registers for notifications of the HID
// interface class and hands each interface name (lower-cased, as the core
// compares paths) to the callback.
#include <windows.h>

#include <dbt.h>
#include <winternl.h>  // NTSTATUS, used by the HID parsing declarations

// The HID headers declare C functions without a linkage block of their own.
extern "C" {
#include <hidsdi.h>
}

#include <cstddef>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

constexpr wchar_t kWindowClass[] = L"FwuHotplugWindow";

class Win32Hotplug final : public IHotplugSource {
  public:
    ~Win32Hotplug() override { Stop(); }

    bool Start(HotplugCallback callback) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable() || !callback) return false;
        callback_ = std::move(callback);
        std::promise<HWND> ready;
        std::future<HWND> created = ready.get_future();
        thread_ = std::thread([this, &ready] { Run(ready); });
        window_ = created.get();
        if (window_ == nullptr) {
            thread_.join();
            callback_ = nullptr;
            return false;
        }
        return true;
    }

    void Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        PostMessageW(window_, WM_CLOSE, 0, 0);
        // From inside the callback the thread cannot wait for itself; it ends
        // when the callback returns and a later Stop() collects it.
        if (std::this_thread::get_id() == thread_.get_id()) return;
        thread_.join();
        window_ = nullptr;
        callback_ = nullptr;
    }

  private:
    void Run(std::promise<HWND>& ready) {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Win32Hotplug::WindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kWindowClass;
        // A second source registers the same class again; that is not an error.
        if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            ready.set_value(nullptr);
            return;
        }
        HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      instance, this);
        if (window == nullptr) {
            ready.set_value(nullptr);
            return;
        }
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        HidD_GetHidGuid(&filter.dbcc_classguid);
        HDEVNOTIFY notification =
            RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (notification == nullptr) {
            DestroyWindow(window);
            ready.set_value(nullptr);
            return;
        }
        ready.set_value(window);

        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        UnregisterDeviceNotification(notification);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<Win32Hotplug*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
            case WM_DEVICECHANGE:
                if (self != nullptr) self->OnDeviceChange(wParam, lParam);
                return TRUE;
            case WM_CLOSE:
                DestroyWindow(window);
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            default:
                return DefWindowProcW(window, message, wParam, lParam);
        }
    }

    void OnDeviceChange(WPARAM event, LPARAM data) {
        if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
        if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
        const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
        // The name runs to the terminator, but never past the record's own size.
        const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
        if (device->dbcc_size <= nameOffset) return;
        const std::size_t maxChars = (device->dbcc_size - nameOffset) / sizeof(wchar_t);
        std::size_t length = 0;
        while (length < maxChars && device->dbcc_name[length] != L'\0') ++length;
        if (length == 0) return;
        callback_(event == DBT_DEVICEARRIVAL ? HotplugEvent::Arrival : HotplugEvent::Removal,
                  AsciiLower(Narrow(device->dbcc_name, length)));
    }

    std::mutex mutex_;  // serialises Start and Stop
    std::thread thread_;
    HWND window_ = nullptr;
    HotplugCallback callback_;
};

}  // namespace

std::unique_ptr<IHotplugSource> CreatePlatformHotplug() {
    return std::make_unique<Win32Hotplug>();
}

}  // namespace fwu
