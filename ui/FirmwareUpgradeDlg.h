// The main window's logic, free of any toolkit: the version labels, device
// arrival and removal, the Update button, timer 1 that drives an update run,
// and the handlers of the upgrade worker's messages. The window itself is an
// IDialogHost (Qt window, Win32 dialog, console, tests); every handler below
// runs on the dialog's thread.
//
// How a front end drives it:
//   - construct it with its host, then call OnInitDialog() once the window
//     exists and Stop() when it closes;
//   - deliver hot-plug events (host.RegisterHidNotification) to
//     OnDeviceChange, Update clicks to OnBnClickedUpdateButton, timer ticks to
//     OnTimer and system commands to OnSysCommand;
//   - give it, before OnInitDialog, an IUpgradeSink (SetWorkerSink) that hands
//     each worker message to OnWorkerMessage on the dialog's thread and waits
//     until it returns (DialogLoop's LoopUpgradeSink does this; a Qt front end
//     uses a blocking queued call);
//   - at shut-down call Stop with what releases a worker that may be waiting
//     in that sink (stop the loop, DialogLoop::Quit); Stop then calls
//     OnDestroy, which joins the worker on the dialog's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/history.h"
#include "device/DeviceManager.h"
#include "device/scope.h"
#include "package/package.h"
#include "platform/hid.h"
#include "ui/host.h"
#include "upgrade/context.h"

namespace fwu {

class CWorkThread;

// Device notification values as the platform's WM_DEVICECHANGE carries them.
inline constexpr std::uint32_t kDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDeviceRemoveComplete = 0x8004;
inline constexpr std::uint32_t kDeviceTypeInterface = 5;

// One firmware version of a version label, in hexadecimal: "major.minor" for
// the first entry; later entries leave out a major equal to `firstMajor` and
// have no dot. The sub-version follows the minor when shown.
std::string VersionLabelPart(unsigned fwVersion, unsigned subVersion, bool showSubVersion,
                             bool first, unsigned firstMajor);

// The package version label ("V1.40.20"): every image's version in order;
// an image's sub-version is shown when it has one and `showSubVersions`.
std::string PackageVersionLabel(const PackageConfig& config, bool showSubVersions);

// Texts of the box about shows.
struct CAboutDlg {
    static constexpr const char* kTitle = "关于 KVT Firmware Upgrade";
    static constexpr const char* kLine1 = "Firmware Upgrade，版本 1.00";
    static constexpr const char* kLine2 = "Controller firmware updater";
    static constexpr const char* kOkButton = "确定";
};

class CFirmwareUpgradeDlg {
  public:
    // `scope`: the controllers this dialog and its worker serve (must outlive
    // the dialog); the default is the one window's, over every port.
    explicit CFirmwareUpgradeDlg(IDialogHost& host, RunScope& scope = DefaultScope());
    ~CFirmwareUpgradeDlg();
    CFirmwareUpgradeDlg(const CFirmwareUpgradeDlg&) = delete;
    CFirmwareUpgradeDlg& operator=(const CFirmwareUpgradeDlg&) = delete;

    // Where the worker's messages go (see above). Without one they are
    // handled on the worker's own thread, which only a single-threaded test
    // may rely on.
    void SetWorkerSink(IUpgradeSink* sink);

    // Window lifetime.
    bool OnInitDialog();
    void OnDestroy();
    // The whole shut-down of a front end: the worker is asked to stop (it
    // sends nothing more), then `releaseSink` lets go of a message the worker
    // may be sending right now, then OnDestroy.
    void Stop(const std::function<void()>& releaseSink);

    // What front ends read: whether an update run is under way, and whether
    // the worker has no job (queued or running).
    bool Updating() const { return m_bUpdating; }
    bool WorkerIdle() const;
    RunScope& Scope() { return scope_; }

    // A hot-plug event for the interface `path` (any case). Returns the
    // arrival routine's result for an arrival it handles, true otherwise.
    bool OnDeviceChange(HotplugEvent event, const std::string& path);
    // The same from a raw notification (event type, broadcast device type,
    // interface name); anything but an interface arrival or removal is
    // ignored.
    bool OnDeviceChange(std::uint32_t eventType, std::uint32_t deviceType, const std::string& name);

    void OnBnClickedUpdateButton();

    // The update history (app/history.h). A press of Update that acts (not
    // one during a run) opens a record of what the press found: time,
    // controller, its location, serial number and version. The record is
    // ended once the outcome is known, and then appended to UpdateHistory()
    // when one is set: by the dialog itself for a refused press, a press no
    // controller took (failed), a run that ends with an error or without a
    // box (failed), a run still going when the window is destroyed (failed),
    // and "Update OK" (updated) unless the front end confirms updates
    // itself; such a front end ends the record with EndRunRecord.
    void SetConfirmsUpdates(bool confirms) { confirmsUpdates_ = confirms; }
    const std::optional<HistoryRecord>& RunRecord() const { return runRecord_; }
    // Ends the open record, if any, with a console exit status and the
    // version the controller reported when it came back ("" if it did not).
    void EndRunRecord(int status, const std::string& returnedVersion = {});
    void OnTimer(unsigned id);
    void OnSysCommand(unsigned id, std::intptr_t lParam);

    // The worker's messages (WM_UPGRADE_PROGRESS, WM_UPGRADE_RESULT,
    // WM_UPGRADE_IMAGE_DONE), on the dialog's thread; others return 0.
    std::intptr_t OnWorkerMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t OnUpgradeProgress(std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t OnUpgradeResultStatus(std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t OnUpgradeImageDone(std::uintptr_t wParam, std::intptr_t lParam);

    // Pieces of the handlers above, public for the front ends and tests.
    static std::pair<std::uint16_t, std::uint16_t> ParseVidPid(const std::string& path);
    bool UpdateDeviceArrival(const std::string& path);
    bool NormalDeviceArrival(const std::string& path);
    void ClearConflictingNormalIds();
    void InitialScan();
    void ScanUpgradeDevices();
    void StartUpdateRun();
    // Whether this computer's name is of the form KVnn... (sub-versions shown).
    static bool CheckComputerName();
    std::string BuildPackageVersionText() const;
    // The success box's text for a list of results.
    std::string BuildResultText(const std::vector<ImageResult>& results) const;
    bool IsNormalId(std::uint16_t vid, std::uint16_t pid) const;
    bool IsUpgradeId(std::uint16_t vid, std::uint16_t pid) const;
    // Whether image k's sub-version is shown.
    bool ShowSubVersion(int k) const;

  private:
    // The tests' view of the state below.
    friend struct DialogProbe;

    bool m_hDevNotify = false;  // notifications registered
    PackageConfig m_config;
    UpdatePackage m_imageData;
    bool m_bUpdating = false;
    std::unique_ptr<CWorkThread> m_pWorkThread;
    UpgradeContext m_upgradeContext;
    std::vector<DeviceInfo> m_deviceInfos;
    bool m_updatingRemove = false;
    std::int32_t m_updatingRemoveRecordTime = 0;
    bool isKvtEmpN = false;
    bool isCfgShowSubVer = false;
    std::string m_versionText;
    std::int32_t m_versionCount = 0;
    std::vector<std::uint32_t> m_deviceVersions;
    std::vector<std::uint32_t> m_packageVersions;

    class SelfSink;

    int ImageCount() const;
    void ShowEmptyWindow();
    // Tells the user, once per run of the tool, that a controller at `path`
    // is present but may not be opened by this user, and what to install.
    void NoticeDeniedAccess(const std::string& path);
    bool accessNoticeShown_ = false;
    // The same, once, for a controller another program holds (it is being
    // updated there): the dialog leaves it alone.
    void NoticeLockedDevice(const std::string& path);
    bool lockedNoticeShown_ = false;
    // Gives configured controllers whose HID interface was left without a
    // driver their driver back (they then arrive as plugged in).
    void RestoreControllerDrivers();
    void SetProgressRangeFor(double total);
    // The device version label, as shown and as a press records it.
    void ShowDeviceVersion(const std::string& text);
    std::string deviceVersionLabel_;
    void BeginRunRecord(bool shift);
    // The controller a press acts on (the one whose switch starts the run).
    void NoteRunController(const DeviceSlot& slot);
    // The versions of the images the run verified, as a version label.
    std::string VerifiedVersionText() const;
    std::optional<HistoryRecord> runRecord_;
    std::string runRecordPath_;
    std::chrono::steady_clock::time_point pressedAt_;
    bool confirmsUpdates_ = false;
    void StopWaiting();
    double ProgressUnitsOf(int k) const;

    IDialogHost& host_;
    RunScope& scope_;
    std::unique_ptr<SelfSink> selfSink_;
    IUpgradeSink* workerSink_ = nullptr;
};

}  // namespace fwu
