#include "frontends/win32/win32_dialog.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "base/pause.h"
#include "base/text.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "upgrade/WorkThread.h"

#include <windows.h>
// windows.h first
#include <commctrl.h>
#include <dbt.h>
extern "C" {
#include <hidsdi.h>
}

#include "frontends/win32/resource.h"
#include "platform/windows/wide.h"

namespace fwu {
namespace {

// A hot-plug event of the simulated controller, posted to the window; lParam
// owns a heap-allocated PostedEvent.
constexpr UINT kMsgSimHotplug = WM_APP + 1;

struct PostedEvent {
    HotplugEvent event;
    std::string path;
};

std::wstring AppName() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return Wide(AppNameFromPath(Narrow(buffer, n)));
}

class Win32Host : public IDialogHost, public IUpgradeSink {
  public:
    explicit Win32Host(IHotplugSource* simulated) : simulated_(simulated) {}

    HWND hwnd = nullptr;
    HICON icon = nullptr;
    std::unique_ptr<CFirmwareUpgradeDlg> dialog;
    std::atomic<bool> closing{false};
    std::atomic<int> inSend{0};

    void SetWindowTitle(const std::string& title) override {
        SetWindowTextW(hwnd, Wide(title).c_str());
    }
    void SetControlText(int id, const std::string& text) override {
        SetDlgItemTextW(hwnd, id, Wide(text).c_str());
    }
    void EnableUpdateButton(bool enable) override {
        EnableWindow(GetDlgItem(hwnd, IDC_UPDATE_BUTTON), enable ? TRUE : FALSE);
    }
    void SetProgressRange(int lower, int upper) override {
        SendDlgItemMessageW(hwnd, IDC_PROGRESS1, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
    }
    void SetProgressPos(int pos) override {
        SendDlgItemMessageW(hwnd, IDC_PROGRESS1, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        RunOutcome /*outcome*/) override {
        const std::wstring title = caption.empty() ? AppName() : Wide(caption);
        ::MessageBoxW(hwnd, Wide(text).c_str(), title.c_str(), MB_OK);
    }
    void SetTimer(unsigned id, unsigned periodMs) override {
        ::SetTimer(hwnd, id, periodMs, nullptr);
    }
    void KillTimer(unsigned id) override { ::KillTimer(hwnd, id); }
    bool IsShiftDown() override {
        return (GetKeyState(VK_LSHIFT) & 0x8000) != 0 || (GetKeyState(VK_RSHIFT) & 0x8000) != 0;
    }
    void ShowAboutBox() override;
    bool RegisterHidNotification() override;
    void UnregisterHidNotification() override;

    // The worker's messages: sent to the window, which handles them on its
    // thread while the worker waits.
    std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                     std::intptr_t lParam) override {
        ++inSend;
        LRESULT result = 0;
        if (!closing) result = ::SendMessageW(hwnd, msg, wParam, lParam);
        --inSend;
        return result;
    }

    void Close();

  private:
    IHotplugSource* simulated_;
    bool simulatedRunning_ = false;
    HDEVNOTIFY notify_ = nullptr;
};

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

void Win32Host::ShowAboutBox() {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd, AboutProc, 0);
}

bool Win32Host::RegisterHidNotification() {
    if (simulated_ != nullptr) {
        if (simulatedRunning_) return true;
        HWND target = hwnd;
        simulatedRunning_ =
            simulated_->Start([target](HotplugEvent event, const std::string& path) {
                auto* posted = new PostedEvent{event, path};
                if (!PostMessageW(target, kMsgSimHotplug, 0, reinterpret_cast<LPARAM>(posted)))
                    delete posted;
            });
        return simulatedRunning_;
    }
    if (notify_ != nullptr) return true;
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    notify_ = RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return notify_ != nullptr;
}

void Win32Host::UnregisterHidNotification() {
    if (simulatedRunning_) {
        simulatedRunning_ = false;
        simulated_->Stop();
    }
    if (notify_ != nullptr) {
        UnregisterDeviceNotification(notify_);
        notify_ = nullptr;
    }
}

// WM_DESTROY: stop the worker, let a message it is sending right now through
// (it is dropped), then the dialog's own shut-down.
void Win32Host::Close() {
    if (closing.exchange(true)) return;
    dialog->Stop([this] {
        while (inSend.load() > 0) {
            MSG pending;
            PeekMessageW(&pending, nullptr, 0, 0, PM_NOREMOVE);  // handles sent messages
            PauseMs(1);
        }
    });
    // Hot-plug events still queued own their text.
    MSG queued;
    while (PeekMessageW(&queued, hwnd, kMsgSimHotplug, kMsgSimHotplug, PM_REMOVE))
        delete reinterpret_cast<PostedEvent*>(queued.lParam);
}

void PaintMinimised(Win32Host& host) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(host.hwnd, &ps);
    SendMessageW(host.hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(host.hwnd, &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(dc, x, y, host.icon);
    EndPaint(host.hwnd, &ps);
}

INT_PTR Result(HWND hwnd, LRESULT value) {
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, value);
    return TRUE;
}

INT_PTR CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* host = reinterpret_cast<Win32Host*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (msg == WM_INITDIALOG) {
        host = reinterpret_cast<Win32Host*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        host->hwnd = hwnd;
        SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(host->icon));
        SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(host->icon));
        // A fixed-size window with a caption, a system menu and a minimise box.
        SetWindowLongW(hwnd, GWL_STYLE, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
        SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
        host->dialog->OnInitDialog();
        return TRUE;
    }
    if (host == nullptr || !host->dialog) return FALSE;
    CFirmwareUpgradeDlg& dialog = *host->dialog;
    switch (msg) {
        case WM_DEVICECHANGE: {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (host->closing || header == nullptr) return Result(hwnd, TRUE);
            std::string name;
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                const auto* iface =
                    reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
                name = Narrow(iface->dbcc_name);
            }
            dialog.OnDeviceChange(static_cast<std::uint32_t>(wParam), header->dbch_devicetype,
                                  name);
            return Result(hwnd, TRUE);
        }
        case kMsgSimHotplug: {
            std::unique_ptr<PostedEvent> event(reinterpret_cast<PostedEvent*>(lParam));
            if (event && !host->closing) dialog.OnDeviceChange(event->event, event->path);
            return TRUE;
        }
        case WM_TIMER:
            if (!host->closing) dialog.OnTimer(static_cast<unsigned>(wParam));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_UPDATE_BUTTON && HIWORD(wParam) == BN_CLICKED) {
                if (!host->closing) dialog.OnBnClickedUpdateButton();
                return TRUE;
            }
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            EndDialog(hwnd, IDCANCEL);
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == kSysCommandAbout) {
                dialog.OnSysCommand(static_cast<unsigned>(wParam), lParam);
                return Result(hwnd, 0);
            }
            return FALSE;
        case WM_PAINT:
            if (IsIconic(hwnd)) {
                PaintMinimised(*host);
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(host->icon);
        case WM_UPGRADE_PROGRESS:
        case WM_UPGRADE_RESULT:
        case WM_UPGRADE_IMAGE_DONE:
            if (host->closing) return Result(hwnd, 0);
            return Result(hwnd, dialog.OnWorkerMessage(msg, wParam, lParam));
        case WM_DESTROY:
            host->Close();
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void RunWin32Dialog(IHotplugSource* simulated) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    Win32Host host(simulated);
    host.icon = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    host.dialog = std::make_unique<CFirmwareUpgradeDlg>(host);
    host.dialog->SetWorkerSink(&host);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_FIRMWAREUPGRADE_DIALOG), nullptr, MainProc,
                    reinterpret_cast<LPARAM>(&host));
    // A dialog that could not be created never ran its shut-down.
    if (host.hwnd == nullptr) return;
    if (!host.closing) host.Close();
}

void ShowWin32Warning(const std::string& text, const std::string& caption) {
    MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(), MB_OK | MB_ICONWARNING);
}

void AttachConsoleOutput() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN)
        return;  // redirected to a file or a pipe
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) return;
    FILE* stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
    SetConsoleOutputCP(CP_UTF8);
}

}  // namespace fwu
