// HID access on Windows through the HID class driver: the set-up API lists
// the HID interfaces, reports move with overlapped ReadFile/WriteFile so that
// every wait is bounded, and hid.dll answers the rest.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winternl.h>  // NTSTATUS, used by the HID parsing declarations

// The HID headers declare C functions without a linkage block of their own.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/pause.h"
#include "base/text.h"
#include "platform/hid_lock.h"
#include "platform/platform.h"
#include "platform/windows/usb_location.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

// A write to a controller that stops taking reports fails after this long.
constexpr DWORD kWriteTimeoutMs = 5000;
// How often a pending transfer looks for a stop request of its thread.
constexpr DWORD kCancelCheckMs = 10;
// Levels walked up from a HID interface's device node to its USB device:
// the USB device itself, or a composite device's function and then the device.
constexpr int kLocationLevels = 3;
// Locations remembered for paths that have gone; beyond this many the
// memory starts afresh (a bench re-plugs controllers all day).
constexpr std::size_t kRememberedLocations = 256;
// DEVPKEY_Device_LocationPaths (a string list), defined here so that no
// translation unit has to instantiate the property keys of devpkey.h.
const DEVPROPKEY kLocationPathsKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// The location paths of a device node; none when it has no such property.
std::vector<std::string> LocationPathsOf(DEVINST node) {
    DEVPROPTYPE type = 0;
    ULONG size = 0;
    if (CM_Get_DevNode_PropertyW(node, &kLocationPathsKey, &type, nullptr, &size, 0) !=
            CR_BUFFER_SMALL ||
        type != DEVPROP_TYPE_STRING_LIST || size == 0)
        return {};
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 2, L'\0');
    if (CM_Get_DevNode_PropertyW(node, &kLocationPathsKey, &type,
                                 reinterpret_cast<PBYTE>(text.data()), &size, 0) != CR_SUCCESS)
        return {};
    std::vector<std::string> paths;
    for (const wchar_t* p = text.data(); *p != L'\0'; p += std::wstring_view(p).size() + 1)
        paths.push_back(Narrow(p));
    return paths;
}

// The device node of a present HID interface path.
std::optional<DEVINST> DevNodeOfInterface(const std::string& path) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return std::nullopt;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    std::optional<DEVINST> node;
    ULONG status = 0;
    ULONG problem = 0;
    // An interface that is gone may still be registered: its node is then
    // not present (no status).
    if (SetupDiOpenDeviceInterfaceW(set, Wide(path).c_str(), 0, &interfaceData) &&
        SetupDiEnumDeviceInfo(set, 0, &info) &&
        CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0) == CR_SUCCESS)
        node = info.DevInst;
    SetupDiDestroyDeviceInfoList(set);
    return node;
}

class Win32HidDevice final : public IHidDevice {
  public:
    Win32HidDevice(HANDLE handle, HANDLE event, std::unique_ptr<HidLock> lock)
        : handle_(handle), event_(event), lock_(std::move(lock)) {}
    ~Win32HidDevice() override {
        CloseHandle(handle_);
        CloseHandle(event_);
    }
    Win32HidDevice(const Win32HidDevice&) = delete;
    Win32HidDevice& operator=(const Win32HidDevice&) = delete;

    bool Write(const std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length == 0 || length > MAXDWORD)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD done = 0;
        return Transfer(false, const_cast<std::uint8_t*>(report), static_cast<DWORD>(length),
                        kWriteTimeoutMs, done) == ReadStatus::Ok;
    }

    ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) override {
        if (report == nullptr || length == 0 || length > MAXDWORD) {
            Fail(ERROR_INVALID_PARAMETER);
            return ReadStatus::Failed;
        }
        DWORD done = 0;
        // INFINITE is reserved; a bounded wait stays bounded.
        const DWORD wait = std::min<DWORD>(timeoutMs, INFINITE - 1);
        const ReadStatus status = Transfer(true, report, static_cast<DWORD>(length), wait, done);
        if (status == ReadStatus::Ok && done < length) {
            std::fill(report + done, report + length, std::uint8_t{0});
        }
        return status;
    }

    std::uint8_t OutputReportId() override {
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!HidD_GetPreparsedData(handle_, &preparsed)) return 0;
        std::uint8_t id = 0;
        HIDP_CAPS caps{};
        if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS &&
            caps.NumberOutputValueCaps > 0) {
            std::vector<HIDP_VALUE_CAPS> values(caps.NumberOutputValueCaps);
            USHORT count = caps.NumberOutputValueCaps;
            if (HidP_GetValueCaps(HidP_Output, values.data(), &count, preparsed) ==
                    HIDP_STATUS_SUCCESS &&
                count > 0) {
                id = values[0].ReportID;
            }
        }
        HidD_FreePreparsedData(preparsed);
        return id;
    }

    bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer, std::size_t length) override {
        if (buffer == nullptr || length > MAXDWORD) return Fail(ERROR_INVALID_PARAMETER);
        if (!HidD_GetIndexedString(handle_, index, buffer, static_cast<ULONG>(length))) {
            return Fail(GetLastError());
        }
        return true;
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length == 0 || length > MAXDWORD)
            return Fail(ERROR_INVALID_PARAMETER);
        std::vector<std::uint8_t> copy(report, report + length);
        if (!HidD_SetOutputReport(handle_, copy.data(), static_cast<ULONG>(length))) {
            return Fail(GetLastError());
        }
        return true;
    }

    bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) override {
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (!HidD_GetAttributes(handle_, &attributes)) return Fail(GetLastError());
        vid = attributes.VendorID;
        pid = attributes.ProductID;
        return true;
    }

    // The HID class driver keeps a queue of input reports for each handle.
    void DropQueuedInput() override { HidD_FlushQueue(handle_); }

    std::uint32_t LastError() const override { return lastError_.load(); }

  private:
    bool Fail(DWORD error) {
        lastError_.store(error);
        return false;
    }

    // One overlapped read or write waited for at most `timeoutMs`. A transfer
    // that does not finish in time, or whose thread is asked to stop (the
    // worker when the window closes), is cancelled with CancelIoEx, and the
    // cancellation is waited for, so the driver never writes into the buffer
    // afterwards. A write stalled in the driver thus ends within about
    // kCancelCheckMs of a stop request rather than after kWriteTimeoutMs.
    ReadStatus Transfer(bool read, std::uint8_t* data, DWORD length, DWORD timeoutMs, DWORD& done) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        ResetEvent(event_);
        const BOOL started = read ? ReadFile(handle_, data, length, nullptr, &overlapped)
                                  : WriteFile(handle_, data, length, nullptr, &overlapped);
        if (!started) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                Fail(error);
                return ReadStatus::Failed;
            }
            bool stopped = false;
            DWORD waited = 0;
            DWORD wait = WAIT_TIMEOUT;
            for (;;) {
                stopped = CancelRequested();
                if (stopped || waited >= timeoutMs) break;
                const DWORD slice = std::min<DWORD>(kCancelCheckMs, timeoutMs - waited);
                wait = WaitForSingleObject(event_, slice);
                if (wait != WAIT_TIMEOUT) break;
                waited += slice;
            }
            if (wait != WAIT_OBJECT_0) {
                CancelIoEx(handle_, &overlapped);
                // A report that arrived just before the cancel still counts.
                if (GetOverlappedResult(handle_, &overlapped, &done, TRUE)) return ReadStatus::Ok;
                if (stopped) {
                    Fail(ERROR_OPERATION_ABORTED);
                    return ReadStatus::Failed;
                }
                Fail(read ? ERROR_TIMEOUT : ERROR_SEM_TIMEOUT);
                return ReadStatus::Timeout;
            }
        }
        if (!GetOverlappedResult(handle_, &overlapped, &done, TRUE)) {
            Fail(GetLastError());
            return ReadStatus::Failed;
        }
        return ReadStatus::Ok;
    }

    HANDLE handle_;
    HANDLE event_;  // manual-reset, signalled when a transfer completes
    std::unique_ptr<HidLock> lock_;
    std::atomic<std::uint32_t> lastError_{0};
};

class Win32HidBackend final : public IHidBackend {
  public:
    std::vector<std::string> EnumeratePaths() override {
        std::vector<std::string> paths;
        GUID hidGuid{};
        HidD_GetHidGuid(&hidGuid);
        HDEVINFO list =
            SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (list == INVALID_HANDLE_VALUE) return paths;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA interfaceData{};
            interfaceData.cbSize = sizeof interfaceData;
            if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hidGuid, index, &interfaceData)) {
                break;
            }
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, nullptr, 0, &required, nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
            // The detail record is a header followed by the path; operator
            // new gives the alignment the structure needs.
            std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[required]);
            if (!block) break;
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.get());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            if (!SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, detail, required, nullptr,
                                                  &info)) {
                continue;
            }
            paths.push_back(AsciiLower(Narrow(detail->DevicePath)));
            Remember(paths.back(), UsbLocationOfDevNode(info.DevInst));
        }
        SetupDiDestroyDeviceInfoList(list);
        return paths;
    }

    std::unique_ptr<IHidDevice> Open(const std::string& path) override {
        if (path.empty()) return nullptr;
        // Another process drives this controller: leave it alone.
        std::unique_ptr<HidLock> lock;
        if (AcquireHidLock(path, lock) == HidLockResult::LockedByOther) return nullptr;
        HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) {
            CloseHandle(handle);
            return nullptr;
        }
        return std::make_unique<Win32HidDevice>(handle, event, std::move(lock));
    }

    bool LockedByOther(const std::string& path) override { return HidLockedByOther(path); }

    // Asked of the device tree while the interface is present (and
    // remembered); for a path that has gone, the location it had when it was
    // last enumerated or asked about.
    std::string Location(const std::string& path) override {
        if (const std::optional<DEVINST> node = DevNodeOfInterface(path)) {
            std::string location = UsbLocationOfDevNode(*node);
            Remember(AsciiLower(path), location);
            return location;
        }
        std::lock_guard lock(mutex_);
        const auto it = locations_.find(AsciiLower(path));
        return it != locations_.end() ? it->second : std::string();
    }

    // The HID class driver answers this from the USB device's serial number
    // string; a handle without read or write access is enough.
    std::string SerialNumber(const std::string& path) override {
        if (path.empty()) return {};
        HANDLE handle = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return {};
        // USB strings hold at most 126 UTF-16 units; one more ends the text.
        wchar_t buffer[128] = {};
        const bool ok = HidD_GetSerialNumberString(handle, buffer, sizeof buffer - sizeof(wchar_t));
        CloseHandle(handle);
        if (!ok) return {};
        return std::string(Trim(Narrow(buffer)));
    }

  private:
    void Remember(const std::string& path, const std::string& location) {
        std::lock_guard lock(mutex_);
        if (location.empty()) {
            locations_.erase(path);
            return;
        }
        if (locations_.size() >= kRememberedLocations && locations_.count(path) == 0)
            locations_.clear();
        locations_[path] = location;
    }

    std::mutex mutex_;
    std::map<std::string, std::string> locations_;  // lower-case path -> location
};

}  // namespace

std::string UsbLocationOfDevNode(std::uint32_t devInst) {
    DEVINST node = devInst;
    for (int level = 0; level < kLocationLevels; ++level) {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
        node = parent;
        const UsbNodeLocation found = ClassifyLocationPaths(LocationPathsOf(node));
        if (found.kind == UsbNodeKind::Device) return found.path;
        if (found.kind == UsbNodeKind::Other) return {};
    }
    return {};
}

std::unique_ptr<IHidBackend> CreatePlatformHidBackend() {
    return std::make_unique<Win32HidBackend>();
}

}  // namespace fwu
