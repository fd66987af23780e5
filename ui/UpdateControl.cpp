// The Update button and timer 1, which together start an update run, hand
// each image to the worker and give up when no controller comes.
#define FWU_LOG_FILE "FirmwareUpgradeDlg.cpp"

#include "base/text.h"
#include "log/log.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "upgrade/WorkThread.h"
#include "upgrade/status.h"

namespace fwu {

void CFirmwareUpgradeDlg::OnBnClickedUpdateButton() {
    if (m_bUpdating) return;
    const LogTagScope tag(scope_.logTag);
    UpgradeContext& run = m_upgradeContext;
    run.totalExcludesUpToDate = false;
    const bool shift = host_.IsShiftDown();
    BeginRunRecord(shift);

    // A controller already in upgrade mode: each image job decides for
    // itself whether the image must be written.
    if (scope_.update().AnyTaken()) {
        for (int i = 0; i < SlotTable::kSlots && runRecordPath_.empty(); ++i)
            NoteRunController(scope_.update().Get(i));
        StartUpdateRun();
        run.forceUpdate = shift;
        return;
    }

    for (int i = 0; i < SlotTable::kSlots && runRecordPath_.empty(); ++i)
        NoteRunController(scope_.normal().Get(i));
    const int count = ImageCount();
    // A controller that reported a single record for a package of several
    // images cannot be compared image by image: switch it without a check.
    if (!(count > 1 && m_deviceInfos.size() == 1)) {
        bool need = false;
        for (int i = 0; i < count; ++i) {
            for (const DeviceInfo& rec : m_deviceInfos) {
                const bool blank = rec.updateId == 0 && rec.fwVersion == 0;
                if (rec.updateId != m_config.updateId[i] && !blank) continue;
                std::uint32_t device = rec.fwVersion;
                std::uint32_t package = m_config.fwVersion(i);
                if (m_config.hasSubVersion[i] != 0) {
                    device = std::uint32_t{rec.fwVersion} << 16 | rec.subVersion;
                    package = m_config.version[i];
                }
                if (package > device || blank) {
                    need = true;
                    FWU_LOGF("pkgVer:%x,devVer:%x", package, device);
                    break;
                }
            }
        }

        if (shift) {
            run.forceUpdate = true;
        } else if (!need) {
            EndRunRecord(kRunRefused);
            host_.ShowMessageBox("Device version is higher than File version\nCan't be Updated!",
                                 "Error", RunOutcome::Refused);
            return;
        } else {
            if (!m_deviceVersions.empty() && m_deviceVersions.size() == m_packageVersions.size()) {
                double total = 0.0;
                for (std::size_t k = 0; k < m_packageVersions.size(); ++k) {
                    if (m_packageVersions[k] > m_deviceVersions[k]) {
                        total += ProgressUnitsOf(static_cast<int>(k));
                    }
                }
                run.progressTotal = total;
                SetProgressRangeFor(total);
            }
            run.totalExcludesUpToDate = true;
        }
    }

    run.upgradeResults.clear();
    for (int i = 0; i < SlotTable::kSlots; ++i) {
        const DeviceSlot slot = scope_.normal().Get(i);
        if (!slot.hidDevice) continue;
        if (!m_bUpdating) NoteRunController(slot);
        if (EnterBootLoader(slot, scope_.rumbleAllowed)) {
            if (!m_bUpdating) StartUpdateRun();
        } else {
            FWU_LOG("bootLoader failure.");
        }
    }
    // No controller took the switch: the press ends here.
    if (!m_bUpdating) EndRunRecord(kRunFailed);
}

void CFirmwareUpgradeDlg::StartUpdateRun() {
    FWU_LOG("升级开始.");
    m_bUpdating = true;
    LimitLogFileSize();
    host_.EnableUpdateButton(false);
    host_.SetProgressPos(0);
    m_upgradeContext.progressCounter = 0;
    m_upgradeContext.upgradeResults.clear();
}

void CFirmwareUpgradeDlg::StopWaiting() {
    host_.KillTimer(kTimerId);
    m_updatingRemoveRecordTime = 0;
    m_updatingRemove = false;
}

void CFirmwareUpgradeDlg::OnTimer(unsigned id) {
    if (id != kTimerId || !m_bUpdating) return;
    const LogTagScope tag(scope_.logTag);
    // One image job at a time: a job of an earlier run may still be closing
    // (its pause after the end-of-image command, then its image-done
    // message). Wait for it without counting towards the time-out; its
    // message then only restarts this timer.
    if (m_pWorkThread && !m_pWorkThread->Idle()) return;

    const int count = ImageCount();
    for (int s = 0; s < SlotTable::kSlots; ++s) {
        const DeviceSlot slot = scope_.update().Get(s);
        if (!slot.hidDevice) continue;
        for (int i = 0; i < count; ++i) {
            const std::uint8_t done =
                static_cast<std::size_t>(i) < m_upgradeContext.doneFlags.size()
                    ? m_upgradeContext.doneFlags[static_cast<std::size_t>(i)]
                    : 1;
            if (slot.updateId == m_config.updateId[i] && done == 0) {
                m_upgradeContext.currentImage = i;
                m_pWorkThread->PostThreadMessage(
                    WM_UPGRADE_START, slot.updateId,
                    reinterpret_cast<std::intptr_t>(m_imageData[i].data()));
                m_updatingRemove = false;
                m_updatingRemoveRecordTime = 0;
                host_.KillTimer(kTimerId);
                FWU_LOG("Device UpdateId Id与Package UpdateId相等且未升过级,进入升级");
                return;
            }
            FWU_LOGF("Device UpdateId:%X Package UpdateId:%X Checked Update:%d ",
                     unsigned{slot.updateId}, m_config.updateId[i], int{done});
        }
        FWU_LOG("未找到符合升级条件！的ID");
    }

    const std::int32_t t = m_updatingRemoveRecordTime;
    if (m_updatingRemove) {
        if (t > 60) {
            StopWaiting();
            FWU_LOG("m_updatingRemove && m_updatingRemoveRecordTime>60");
            OnUpgradeResultStatus(kResultFailure, kStatusDeviceRemoved);
            return;
        }
    } else {
        FWU_LOG("m_updatingRemove==false");
        if (t > 62) {
            StopWaiting();
            FWU_LOG("m_updatingRemoveRecordTime > 62");
            OnUpgradeResultStatus(kResultFailure, kStatusDeviceRemoved);
            return;
        }
    }

    m_updatingRemoveRecordTime = t + 1;
    // A controller whose arrival notification was missed is picked up by a
    // scan half-way through the wait.
    if (m_updatingRemove && m_updatingRemoveRecordTime == 30 && !scope_.update().Get(0).hidDevice) {
        ScanUpgradeDevices();
        RestoreControllerDrivers();
    }
}

}  // namespace fwu
