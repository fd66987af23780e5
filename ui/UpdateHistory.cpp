// The record of each Update press for the update history: what the press
// found, and how its run ended.
#include "app/history.h"
#include "base/text.h"
#include "platform/hid.h"
#include "ui/FirmwareUpgradeDlg.h"

namespace fwu {

void CFirmwareUpgradeDlg::ShowDeviceVersion(const std::string& text) {
    deviceVersionLabel_ = text;
    host_.SetControlText(IDC_DEVICE_VERSION, text);
}

void CFirmwareUpgradeDlg::BeginRunRecord(bool shift) {
    // A record still open belongs to a run that never reported its end.
    EndRunRecord(kRunFailed);
    HistoryRecord record;
    record.time = HistoryTimeNow();
    record.product = m_config.ProductNameUtf8();
    // An upgrade-mode label keeps a blank at its end.
    record.before = std::string(Trim(deviceVersionLabel_));
    record.forced = shift;
    runRecord_ = std::move(record);
    runRecordPath_.clear();
    pressedAt_ = std::chrono::steady_clock::now();
}

void CFirmwareUpgradeDlg::NoteRunController(const DeviceSlot& slot) {
    if (!runRecord_ || !slot.hidDevice || slot.devicePath == runRecordPath_) return;
    runRecordPath_ = slot.devicePath;
    runRecord_->vid = slot.vid;
    runRecord_->pid = slot.pid;
    // Asked before the controller is switched: in its other mode it is
    // another device.
    runRecord_->location = HidBackend().Location(slot.devicePath);
    runRecord_->serial = HidBackend().SerialNumber(slot.devicePath);
}

std::string CFirmwareUpgradeDlg::VerifiedVersionText() const {
    const std::vector<ImageResult>& results = m_upgradeContext.upgradeResults;
    if (results.empty()) return {};
    std::string text = "V";
    const unsigned firstMajor = results.front().fwVersion >> 8;
    for (std::size_t k = 0; k < results.size(); ++k) {
        const ImageResult& r = results[k];
        const bool showSub = r.hasSubVersion == 1 && (isKvtEmpN || isCfgShowSubVer);
        text +=
            VersionLabelPart(r.fwVersion, r.subVersion & 0xFFu, showSub, k == 0, firstMajor) + ".";
    }
    text.pop_back();
    return text;
}

void CFirmwareUpgradeDlg::EndRunRecord(int status, const std::string& returnedVersion) {
    if (!runRecord_) return;
    HistoryRecord record = std::move(*runRecord_);
    runRecord_.reset();
    record.outcome = RunOutcomeName(status);
    record.status = status;
    record.returnedVersion = returnedVersion;
    record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - pressedAt_)
                            .count();
    // A history that cannot be written never changes the run's outcome.
    if (RunHistory* history = UpdateHistory()) history->Append(std::move(record));
}

}  // namespace fwu
