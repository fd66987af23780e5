// Controllers coming and going: hot-plug notifications, the arrival of a
// controller in either mode, the scans at start-up and the device labels.
#define FWU_LOG_FILE "FirmwareUpgradeDlg.cpp"

#include <cstdlib>

#include "base/text.h"
#include "log/log.h"
#include "platform/hid.h"
#include "ui/FirmwareUpgradeDlg.h"

namespace fwu {

namespace {

constexpr const char* kAccessDeniedText =
    "A controller is connected, but this user may not open it.\n"
    "Install the udev rules that come with the tool (70-firmwareupgrade.rules in "
    "/usr/lib/udev/rules.d), then unplug the controller and plug it in again.";
constexpr const char* kLockedText = "the controller is being updated by another program";

// Reads the (at most) four characters after `marker` as hexadecimal, the way
// a C conversion with base 16 does (stops at the first character that does
// not fit). 0 when the marker is missing.
std::uint16_t HexAfter(const std::string& path, const char* marker) {
    const std::size_t at = path.find(marker);
    if (at == std::string::npos) return 0;
    const std::string digits = path.substr(at + 4, 4);
    return static_cast<std::uint16_t>(std::strtol(digits.c_str(), nullptr, 16));
}

// Before the first '.', or "" when there is none or it comes first.
std::string HeadBeforeDot(const std::string& s, std::size_t from) {
    const std::size_t dot = s.find('.', from);
    if (dot == std::string::npos || dot == from) return {};
    return s.substr(from, dot - from);
}

}  // namespace

std::pair<std::uint16_t, std::uint16_t> CFirmwareUpgradeDlg::ParseVidPid(const std::string& path) {
    return {HexAfter(path, "vid_"), HexAfter(path, "pid_")};
}

bool CFirmwareUpgradeDlg::IsNormalId(std::uint16_t vid, std::uint16_t pid) const {
    const UsbId id{vid, pid};
    for (const UsbId& n : m_config.normalIds) {
        if (n == id) return true;
    }
    return false;
}

bool CFirmwareUpgradeDlg::IsUpgradeId(std::uint16_t vid, std::uint16_t pid) const {
    const UsbId id{vid, pid};
    return id == UsbId{UPGRADE_VID, kUpgradePid1} || id == UsbId{UPGRADE_VID, kUpgradePid2} ||
           (m_config.upgradeId.BothNonZero() && id == m_config.upgradeId);
}

void CFirmwareUpgradeDlg::ClearConflictingNormalIds() {
    for (UsbId& n : m_config.normalIds) {
        if (IsUpgradeId(n.vid, n.pid)) n = UsbId{};
    }
}

void CFirmwareUpgradeDlg::ShowEmptyWindow() {
    host_.SetControlText(IDC_DEVICE_NAME, "No Device");
    ShowDeviceVersion("");
    host_.SetProgressPos(0);
    host_.EnableUpdateButton(false);
    m_versionCount = 0;
    m_versionText.clear();
}

bool CFirmwareUpgradeDlg::OnDeviceChange(std::uint32_t eventType, std::uint32_t deviceType,
                                         const std::string& name) {
    if (deviceType != kDeviceTypeInterface) return true;
    if (eventType == kDeviceArrival) return OnDeviceChange(HotplugEvent::Arrival, name);
    if (eventType == kDeviceRemoveComplete) return OnDeviceChange(HotplugEvent::Removal, name);
    return true;
}

bool CFirmwareUpgradeDlg::OnDeviceChange(HotplugEvent event, const std::string& name) {
    const LogTagScope tag(scope_.logTag);
    const std::string path = AsciiLower(name);
    // A controller at another port belongs to another run.
    if (!scope_.Accepts(path)) return true;
    const auto [vid, pid] = ParseVidPid(path);
    const bool normal = IsNormalId(vid, pid);
    const bool upgrade = IsUpgradeId(vid, pid);

    if (event == HotplugEvent::Arrival) {
        if (normal) {
            FWU_LOGF("Vid:0x%X,Pid:0x%X", vid, pid);
            return NormalDeviceArrival(path);
        }
        if (upgrade) {
            FWU_LOGF("Vid:0x%X,Pid:0x%X", vid, pid);
            return UpdateDeviceArrival(path);
        }
        return true;
    }

    if (normal) {
        if (const auto slot = scope_.normal().FindByPath(path)) {
            scope_.normal().Release(*slot);
            if (!m_bUpdating) ShowEmptyWindow();
            return true;
        }
    }
    if (upgrade) {
        if (const auto slot = scope_.update().FindByPath(path)) {
            scope_.update().Release(*slot);
            if (!m_bUpdating) {
                ShowEmptyWindow();
            } else {
                if (!m_updatingRemove) FWU_LOG("Device remove m_updatingRemove==true");
                m_updatingRemove = true;
            }
        }
    }
    return true;
}

void CFirmwareUpgradeDlg::NoticeDeniedAccess(const std::string& path) {
    if (accessNoticeShown_ || !HidBackend().AccessDenied(path)) return;
    accessNoticeShown_ = true;
    FWU_LOG("Open device failure: permission denied.");
    host_.ShowMessageBox(kAccessDeniedText, "", RunOutcome::None);
}

void CFirmwareUpgradeDlg::NoticeLockedDevice(const std::string& path) {
    if (lockedNoticeShown_ || !HidBackend().LockedByOther(path)) return;
    lockedNoticeShown_ = true;
    FWU_LOG("Open device failure: another program holds the controller.");
    host_.ShowMessageBox(kLockedText, "", RunOutcome::Locked);
}

void CFirmwareUpgradeDlg::RestoreControllerDrivers() {
    std::vector<HidIdentity> identities;
    for (const UsbId& id : m_config.normalIds) {
        if (id.BothNonZero()) identities.push_back({id.vid, id.pid});
    }
    identities.push_back({UPGRADE_VID, kUpgradePid1});
    identities.push_back({UPGRADE_VID, kUpgradePid2});
    if (m_config.upgradeId.BothNonZero())
        identities.push_back({m_config.upgradeId.vid, m_config.upgradeId.pid});
    if (const int restored = HidBackend().RestoreDrivers(identities); restored > 0)
        FWU_LOGF("Driver restored for %d controller interface(s).", restored);
}

bool CFirmwareUpgradeDlg::UpdateDeviceArrival(const std::string& path) {
    DeviceHandle device = OpenDevice(path);
    if (!device) {
        FWU_LOG("Open device failure!");
        NoticeDeniedAccess(path);
        NoticeLockedDevice(path);
        return false;
    }

    std::string text = "V";
    DeviceInfo info{};
    const bool failed = !QueryUpgradeModeInfo(*device, info);
    if (failed) info = DeviceInfo{};

    std::string entry;
    std::uint16_t arrivedId = 0;
    for (int i = 0; i < ImageCount(); ++i) {
        if (m_config.updateId[i] != info.updateId) continue;
        entry = VersionLabelPart(info.fwVersion, info.subVersion, ShowSubVersion(i), true, 0) + " ";
        text += entry;
        arrivedId = info.updateId;
        break;
    }

    // During a run the controller comes back once per image; its entries are
    // merged into one label ("V1.40.20" rather than "V1.40 V1.20").
    if (m_versionCount < 2 && !entry.empty()) {
        if (m_versionText.empty()) {
            m_versionText = "V" + entry;
        } else {
            const std::string headOld = HeadBeforeDot(m_versionText, 1);
            const std::string headNew = HeadBeforeDot(entry, 0);
            const std::size_t dot = entry.find('.');
            if (headOld == headNew && dot != std::string::npos && dot != 0) {
                m_versionText += entry.substr(dot);
            } else {
                m_versionText += "." + entry;
            }
        }
    }

    const auto [vid, pid] = ParseVidPid(path);
    if (scope_.update().HasIdentity(vid, pid, arrivedId)) return false;  // drops the new handle

    DeviceSlot slot;
    slot.hidDevice = device;
    slot.vid = vid;
    slot.pid = pid;
    slot.upgradeMode = 1;
    slot.updateId = arrivedId;
    slot.devicePath = path;
    // No free slot: the controller is shown below but not recorded, and its
    // handle is closed here rather than left open for the life of the tool.
    scope_.update().Take(slot);
    device.reset();

    if (!m_bUpdating) {
        host_.SetControlText(IDC_DEVICE_NAME, m_config.ProductNameUtf8());
        ShowDeviceVersion(failed ? "----" : text);
        host_.EnableUpdateButton(true);
    } else {
        if (m_versionCount < 2) {
            std::erase(m_versionText, ' ');
            ShowDeviceVersion(m_versionText);
        }
        FWU_LOGF("Device arrival FwUpdateId:0x%X", unsigned{arrivedId});
    }
    return true;
}

bool CFirmwareUpgradeDlg::NormalDeviceArrival(const std::string& path) {
    const auto [vid, pid] = ParseVidPid(path);
    if (scope_.normal().HasIdentity(vid, pid)) return false;

    DeviceHandle device = OpenDevice(path);
    m_deviceInfos.clear();
    if (!device) {
        NoticeDeniedAccess(path);
        NoticeLockedDevice(path);
        return false;
    }

    const int count = ImageCount();
    std::string text = "V";
    std::vector<DeviceInfo> records(static_cast<std::size_t>(count > 0 ? count : 1));
    const bool failed = !GetDeviceInfo(*device, records.data(), kModeNormal, count);
    if (failed) std::fill(records.begin(), records.end(), DeviceInfo{});

    if (!failed) {
        m_deviceVersions.clear();
        m_packageVersions.clear();
        for (int k = 0; k < count; ++k) {
            m_deviceVersions.push_back(std::uint32_t{records[k].fwVersion} << 16 |
                                       records[k].subVersion);
            m_packageVersions.push_back(m_config.version[k]);
        }
    }

    unsigned firstMajor = 0;
    if (count > 0) {
        const DeviceInfo& r = records[0];
        firstMajor = r.fwVersion >> 8;
        text += VersionLabelPart(r.fwVersion, r.subVersion, ShowSubVersion(0), true, 0) + ".";
        m_deviceInfos.push_back(r);
        ++m_versionCount;
    }
    for (int r = 1; r < count; ++r) {
        const DeviceInfo& rec = records[r];
        for (int j = 1; j < count; ++j) {
            if (rec.updateId != m_config.updateId[j]) continue;
            text += VersionLabelPart(rec.fwVersion, rec.subVersion, ShowSubVersion(j), false,
                                     firstMajor) +
                    ".";
            m_deviceInfos.push_back(rec);
            ++m_versionCount;
        }
    }
    text.pop_back();

    DeviceSlot slot;
    slot.hidDevice = device;
    slot.vid = vid;
    slot.pid = pid;
    slot.upgradeMode = 0;
    slot.devicePath = path;
    scope_.normal().Take(slot);  // no free slot: not recorded, handle closed below
    device.reset();

    host_.SetControlText(IDC_DEVICE_NAME, m_config.ProductNameUtf8());
    ShowDeviceVersion(failed ? "----" : text);
    host_.EnableUpdateButton(true);
    return true;
}

void CFirmwareUpgradeDlg::ScanUpgradeDevices() {
    const UsbId ids[] = {{UPGRADE_VID, kUpgradePid1}, {UPGRADE_VID, kUpgradePid2}};
    auto scan = [this](const UsbId& id) {
        std::string path;
        if (DeviceHandle found =
                FindHidDevice(id.vid, id.pid, m_config, path, kModeUpgrade, scope_.location)) {
            found.reset();  // the arrival opens it again
            UpdateDeviceArrival(path);
        }
    };
    for (const UsbId& id : ids) scan(id);
    if (m_config.upgradeId.BothNonZero()) scan(m_config.upgradeId);
}

void CFirmwareUpgradeDlg::InitialScan() {
    ScanUpgradeDevices();
    for (int k = 0; k < 3; ++k) {
        const UsbId id = m_config.normalIds[k];
        if (k > 0 && !id.BothNonZero()) continue;
        std::string path;
        if (DeviceHandle found =
                FindHidDevice(id.vid, id.pid, m_config, path, kModeNormal, scope_.location)) {
            found.reset();
            NormalDeviceArrival(path);
        }
    }
    // The searches pass over controllers they may not open, or that another
    // program holds; say so rather than show an empty window without a
    // reason.
    for (const std::string& path : HidBackend().EnumeratePaths()) {
        if (!scope_.Accepts(path)) continue;
        const auto [vid, pid] = ParseVidPid(path);
        if (!IsNormalId(vid, pid) && !IsUpgradeId(vid, pid)) continue;
        NoticeDeniedAccess(path);
        NoticeLockedDevice(path);
    }
    // Last, so that an interface given its driver back here is not found
    // by the searches above before the system has set its access: it
    // arrives through the notifications.
    if (scope_.restoreDrivers) RestoreControllerDrivers();
}

}  // namespace fwu
