// The tests' access to the dialog's private state: Probe(dialog).m_bUpdating
// and so on, each a reference to the dialog's own member.
#pragma once

#include "ui/FirmwareUpgradeDlg.h"

namespace fwu {

struct DialogProbe {
    explicit DialogProbe(CFirmwareUpgradeDlg& d)
        : m_hDevNotify(d.m_hDevNotify),
          m_config(d.m_config),
          m_imageData(d.m_imageData),
          m_bUpdating(d.m_bUpdating),
          m_pWorkThread(d.m_pWorkThread),
          m_upgradeContext(d.m_upgradeContext),
          m_deviceInfos(d.m_deviceInfos),
          m_updatingRemove(d.m_updatingRemove),
          m_updatingRemoveRecordTime(d.m_updatingRemoveRecordTime),
          isKvtEmpN(d.isKvtEmpN),
          isCfgShowSubVer(d.isCfgShowSubVer),
          m_versionText(d.m_versionText),
          m_versionCount(d.m_versionCount),
          m_deviceVersions(d.m_deviceVersions),
          m_packageVersions(d.m_packageVersions) {}

    bool& m_hDevNotify;
    PackageConfig& m_config;
    UpdatePackage& m_imageData;
    bool& m_bUpdating;
    std::unique_ptr<CWorkThread>& m_pWorkThread;
    UpgradeContext& m_upgradeContext;
    std::vector<DeviceInfo>& m_deviceInfos;
    bool& m_updatingRemove;
    std::int32_t& m_updatingRemoveRecordTime;
    bool& isKvtEmpN;
    bool& isCfgShowSubVer;
    std::string& m_versionText;
    std::int32_t& m_versionCount;
    std::vector<std::uint32_t>& m_deviceVersions;
    std::vector<std::uint32_t>& m_packageVersions;
};

inline DialogProbe Probe(CFirmwareUpgradeDlg& dialog) {
    return DialogProbe(dialog);
}

}  // namespace fwu
