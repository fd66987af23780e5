// The main window: construction, initialisation and shut-down, the package
// version label, the computer-name check, the about box and the handlers of
// the worker's messages.
#define FWU_LOG_FILE "FirmwareUpgradeDlg.cpp"

#include "ui/FirmwareUpgradeDlg.h"

#include <algorithm>

#include "app/settings.h"
#include "base/pause.h"
#include "base/text.h"
#include "log/log.h"
#include "platform/system.h"
#include "upgrade/WorkThread.h"
#include "upgrade/status.h"

namespace fwu {

// The dialog's own window as a message target: without a front-end sink the
// worker's messages are handled directly on the calling thread.
class CFirmwareUpgradeDlg::SelfSink : public IUpgradeSink {
  public:
    explicit SelfSink(CFirmwareUpgradeDlg& dlg) : dlg_(dlg) {}
    std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                     std::intptr_t lParam) override {
        return dlg_.OnWorkerMessage(msg, wParam, lParam);
    }

  private:
    CFirmwareUpgradeDlg& dlg_;
};

CFirmwareUpgradeDlg::CFirmwareUpgradeDlg(IDialogHost& host, RunScope& scope)
    : host_(host), scope_(scope), selfSink_(std::make_unique<SelfSink>(*this)) {}

CFirmwareUpgradeDlg::~CFirmwareUpgradeDlg() {
    // A window that was never destroyed properly still must not leave a
    // worker running against this object.
    if (m_pWorkThread) m_pWorkThread->Shutdown();
}

void CFirmwareUpgradeDlg::SetWorkerSink(IUpgradeSink* sink) {
    workerSink_ = sink;
}

int CFirmwareUpgradeDlg::ImageCount() const {
    return static_cast<int>(std::min<std::uint32_t>(m_config.imageCount, kMaxImages));
}

bool CFirmwareUpgradeDlg::ShowSubVersion(int k) const {
    if (k < 0 || k >= kMaxImages) return false;
    return m_config.hasSubVersion[k] != 0 && (isKvtEmpN || isCfgShowSubVer);
}

double CFirmwareUpgradeDlg::ProgressUnitsOf(int k) const {
    if (k < 0 || k >= kMaxImages) return 0.0;
    return static_cast<double>(PackageImage(m_imageData[k]).progressUnits());
}

void CFirmwareUpgradeDlg::SetProgressRangeFor(double total) {
    host_.SetProgressRange(0, ProgressRange(total));
    host_.SetProgressPos(0);
}

bool CFirmwareUpgradeDlg::OnInitDialog() {
    const LogTagScope tag(scope_.logTag);
    // Settings and log: the log starts before the second switch is read.
    const std::string settings = SettingsPath();
    if (ReadSettingFlag(settings, kKeyLogPrint)) isLogPrint = true;
    // One log file per process, also when several dialogs (one per port) run.
    StartLogFileOnce();
    isCfgShowSubVer = false;
    isCfgShowSubVer = ReadSettingFlag(settings, kKeyShowSubVer);

    isKvtEmpN = CheckComputerName();
    FWU_LOGF("isKvtEmpN:%d,isCfgShowSubVer:%d", isKvtEmpN ? 1 : 0, isCfgShowSubVer ? 1 : 0);

    m_versionCount = 0;
    m_versionText.clear();
    m_hDevNotify = false;
    m_bUpdating = false;
    m_updatingRemove = false;
    m_updatingRemoveRecordTime = 0;
    ShowDeviceVersion("");

    m_hDevNotify = host_.RegisterHidNotification();

    const MessageBoxHook box = [this](const std::string& text) {
        host_.ShowMessageBox(text, "", RunOutcome::None);
    };
    // The title changes only when the configuration record loaded.
    if (LoadPackageConfig(m_config, box)) host_.SetWindowTitle(m_config.ProductNameUtf8());
    LoadUpdatePackage(m_config, m_imageData, box);

    ClearConflictingNormalIds();

    m_upgradeContext.config = &m_config;
    m_upgradeContext.doneFlags.assign(static_cast<std::size_t>(ImageCount()), 0);
    m_upgradeContext.hwnd = workerSink_ != nullptr ? workerSink_ : selfSink_.get();
    m_upgradeContext.currentImage = 0;
    m_upgradeContext.imageData = &m_imageData;

    m_pWorkThread = std::make_unique<CWorkThread>(m_upgradeContext, scope_.update(), scope_.logTag);
    m_pWorkThread->Start();

    host_.SetControlText(IDC_PACKAGE_VERSION, BuildPackageVersionText());

    double total = 0.0;
    for (int k = 0; k < ImageCount(); ++k) total += ProgressUnitsOf(k);
    m_upgradeContext.progressTotal = total;
    SetProgressRangeFor(total);

    InitialScan();

    host_.SetTimer(kTimerId, kTimerPeriodMs);
    return true;
}

void CFirmwareUpgradeDlg::OnDestroy() {
    const LogTagScope tag(scope_.logTag);
    host_.KillTimer(kTimerId);
    if (m_hDevNotify) {
        host_.UnregisterHidNotification();
        m_hDevNotify = false;
    }
    // The worker's transfers and pauses end early once it is asked to stop,
    // so this returns promptly even in the middle of a download.
    if (m_pWorkThread) m_pWorkThread->Shutdown();
    // A run the window did not see to its end.
    EndRunRecord(kRunFailed);
}

void CFirmwareUpgradeDlg::Stop(const std::function<void()>& releaseSink) {
    if (m_pWorkThread) m_pWorkThread->RequestStop();
    if (releaseSink) releaseSink();
    OnDestroy();
}

bool CFirmwareUpgradeDlg::WorkerIdle() const {
    return !m_pWorkThread || m_pWorkThread->Idle();
}

void CFirmwareUpgradeDlg::OnSysCommand(unsigned id, std::intptr_t /*lParam*/) {
    if ((id & 0xFFF0u) == kSysCommandAbout) host_.ShowAboutBox();
}

bool CFirmwareUpgradeDlg::CheckComputerName() {
    const std::string name = AsciiUpper(System().ComputerName());
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return name.size() >= 4 && name[0] == 'K' && name[1] == 'V' && digit(name[2]) && digit(name[3]);
}

std::string VersionLabelPart(unsigned fwVersion, unsigned subVersion, bool showSubVersion,
                             bool first, unsigned firstMajor) {
    const unsigned major = fwVersion >> 8;
    const unsigned minor = fwVersion & 0xFFu;
    std::string text;
    if (first) {
        text = Format("%X.", major);
    } else if (major != firstMajor) {
        text = Format("%X", major);
    }
    text += showSubVersion ? Format("%02X%02X", minor, subVersion) : Format("%02X", minor);
    return text;
}

std::string PackageVersionLabel(const PackageConfig& config, bool showSubVersions) {
    std::string text = "V";
    unsigned firstMajor = 0;
    const int count = static_cast<int>(std::min<std::uint32_t>(config.imageCount, kMaxImages));
    for (int k = 0; k < count; ++k) {
        const unsigned fw = config.fwVersion(k);
        if (k == 0) firstMajor = fw >> 8;
        const bool showSub = config.hasSubVersion[k] != 0 && showSubVersions;
        text += VersionLabelPart(fw, config.subVersion(k), showSub, k == 0, firstMajor) + ".";
    }
    text.pop_back();  // the final '.', or the "V" itself without images
    return text;
}

std::string CFirmwareUpgradeDlg::BuildPackageVersionText() const {
    return PackageVersionLabel(m_config, isKvtEmpN || isCfgShowSubVer);
}

std::string CFirmwareUpgradeDlg::BuildResultText(const std::vector<ImageResult>& results) const {
    return SuccessText(results, isKvtEmpN || isCfgShowSubVer);
}

std::intptr_t CFirmwareUpgradeDlg::OnWorkerMessage(unsigned msg, std::uintptr_t wParam,
                                                   std::intptr_t lParam) {
    const LogTagScope tag(scope_.logTag);
    switch (msg) {
        case WM_UPGRADE_PROGRESS:
            return OnUpgradeProgress(wParam, lParam);
        case WM_UPGRADE_RESULT:
            return OnUpgradeResultStatus(wParam, lParam);
        case WM_UPGRADE_IMAGE_DONE:
            return OnUpgradeImageDone(wParam, lParam);
        default:
            return 0;
    }
}

std::intptr_t CFirmwareUpgradeDlg::OnUpgradeProgress(std::uintptr_t /*wParam*/,
                                                     std::intptr_t lParam) {
    host_.SetProgressPos(static_cast<int>(lParam));
    return 0;
}

std::intptr_t CFirmwareUpgradeDlg::OnUpgradeImageDone(std::uintptr_t /*wParam*/,
                                                      std::intptr_t /*lParam*/) {
    PauseMs(200);
    host_.SetTimer(kTimerId, kTimerPeriodMs);
    return 0;
}

std::intptr_t CFirmwareUpgradeDlg::OnUpgradeResultStatus(std::uintptr_t wParam,
                                                         std::intptr_t lParam) {
    const LogTagScope tag(scope_.logTag);
    host_.SetTimer(kTimerId, kTimerPeriodMs);
    PauseMs(150);
    m_bUpdating = false;
    m_updatingRemoveRecordTime = 0;
    std::fill(m_upgradeContext.doneFlags.begin(), m_upgradeContext.doneFlags.end(), 0);

    // The run's end, recorded before its box, which may stay open a while.
    if (runRecord_) runRecord_->after = VerifiedVersionText();
    if (wParam != kResultSuccess) {
        EndRunRecord(kRunFailed);
    } else if (!confirmsUpdates_) {
        EndRunRecord(kRunUpdated);
    }

    if (wParam == kResultSuccess) {
        // The success message carries the address of the run's result list,
        // which is the context's own; read that list rather than trusting an
        // arbitrary address.
        host_.ShowMessageBox(BuildResultText(m_upgradeContext.upgradeResults), "Update OK",
                             RunOutcome::Updated);
    } else if (wParam == kResultFailure) {
        const auto code = static_cast<std::int32_t>(lParam);
        if (code == kStatusDeviceRemoved) {
            host_.SetControlText(IDC_DEVICE_NAME, "No Device");
            ShowDeviceVersion("");
            const char* text = StatusText(code);
            host_.ShowMessageBox(text, "Error", RunOutcome::Failed);
            FWU_LOG(text);
            for (int i = 0; i < SlotTable::kSlots; ++i) {
                const DeviceSlot slot = scope_.update().Get(i);
                FWU_LOGF("m_hUpdate[%d].hidDevice=%p", i,
                         static_cast<const void*>(slot.hidDevice.get()));
            }
        } else if (code >= kStatusWrongPackage && code <= kStatusDeviceInfo) {
            host_.ShowMessageBox(StatusText(code), "Error", RunOutcome::Failed);
        }
    }

    m_upgradeContext.forceUpdate = false;
    m_upgradeContext.totalExcludesUpToDate = false;
    FWU_LOG("升级结束.");
    m_versionCount = 0;
    m_versionText.clear();
    return 0;
}

}  // namespace fwu
