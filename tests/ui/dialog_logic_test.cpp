// The dialog's rules on their own: labels, the version check, the end of a
// run by code, the timer's time-outs and re-scan, slots and removals.
#include <gtest/gtest.h>

#include "base/text.h"
#include "tests/ui/ui_harness.h"
#include "upgrade/status.h"

namespace fwu::test {
namespace {

TEST(DialogLabels, PackageLabelVariants) {
    Harness h;
    CFirmwareUpgradeDlg& d = h.dlg;
    Probe(d).m_config = ShippedConfig();
    EXPECT_EQ(d.BuildPackageVersionText(), "V1.40.20");
    Probe(d).isKvtEmpN = true;
    EXPECT_EQ(d.BuildPackageVersionText(), "V1.4001.20");
    Probe(d).isKvtEmpN = false;
    Probe(d).m_config.version[1] = 0x02200000;  // another major: no dot before it
    EXPECT_EQ(d.BuildPackageVersionText(), "V1.40.220");
    Probe(d).m_config.imageCount = 1;
    EXPECT_EQ(d.BuildPackageVersionText(), "V1.40");
    Probe(d).m_config.imageCount = 0;
    EXPECT_EQ(d.BuildPackageVersionText(), "");
}

TEST(DialogLabels, ComputerNameAndVidPid) {
    Harness h;
    for (const auto& [name, expected] :
         std::vector<std::pair<std::string, bool>>{{"kv12-bench", true},
                                                   {"KV99", true},
                                                   {"KVA1", false},
                                                   {"KV1", false},
                                                   {"XKV12", false},
                                                   {"", false}}) {
        h.system.computerName = name;
        EXPECT_EQ(h.dlg.CheckComputerName(), expected) << name;
    }
    using P = std::pair<std::uint16_t, std::uint16_t>;
    EXPECT_EQ(CFirmwareUpgradeDlg::ParseVidPid("\\\\?\\hid#vid_3a5c&pid_1f40#x"),
              P(0x3A5C, 0x1F40));
    EXPECT_EQ(CFirmwareUpgradeDlg::ParseVidPid("/dev/hidraw0"), P(0, 0));
    EXPECT_EQ(CFirmwareUpgradeDlg::ParseVidPid("vid_12&pid_zz"), P(0x12, 0));
    EXPECT_EQ(CFirmwareUpgradeDlg::ParseVidPid("VID_3A5C&PID_0001"), P(0, 0));  // case-sensitive
}

TEST(DialogLabels, InitWithoutRecordsAndAboutBox) {
    Harness h({}, {}, Records{});
    h.host.title = "FirmwareUpgrade";
    h.Init();
    ASSERT_EQ(h.host.boxes.size(), 2u);
    EXPECT_EQ(h.host.boxes[0].text, "获取配置文件失败！");
    EXPECT_EQ(h.host.title, "FirmwareUpgrade");  // a failed record leaves the title alone
    EXPECT_EQ(h.host.texts[IDC_PACKAGE_VERSION], "");
    EXPECT_EQ(h.host.range, std::make_pair(0, 0));
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "");
    EXPECT_EQ(h.host.timerSets, 1);
    h.dlg.OnSysCommand(0xF060, 0);
    h.dlg.OnSysCommand(0x0013, 0);  // low bits are ignored
    EXPECT_EQ(h.host.aboutBoxes, 1);
}

// The version check, with the records a normal-mode controller reported.
class VersionCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        Probe(h.dlg).m_config = ShippedConfig();
        Probe(h.dlg).m_imageData = ShippedImages();
    }
    void Records(std::vector<DeviceInfo> infos) { Probe(h.dlg).m_deviceInfos = std::move(infos); }
    bool RefusedWithBox() {
        const std::size_t before = h.host.boxes.size();
        h.dlg.OnBnClickedUpdateButton();
        return h.host.boxes.size() > before;
    }
    Harness h;
};

TEST_F(VersionCheck, ComparesBySubVersionFlag) {
    Records({{0x313, 0x0140, 1, 0}, {0x20D, 0x0120, 0, 0}});
    EXPECT_TRUE(RefusedWithBox());
    EXPECT_FALSE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);

    // Sub-version counts only where the image has the flag.
    Records({{0x313, 0x0140, 0, 0}, {0x20D, 0x0120, 0, 0}});
    EXPECT_FALSE(RefusedWithBox());
    EXPECT_TRUE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);
    Probe(h.dlg).m_config.hasSubVersion[0] = 0;
    EXPECT_TRUE(RefusedWithBox());
}

TEST_F(VersionCheck, BlankRecordAndSingleRecord) {
    Records({{0, 0, 0, 0}, {0x20D, 0x0120, 0, 0}});
    EXPECT_FALSE(RefusedWithBox());
    EXPECT_TRUE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);

    // A single record for two images skips the check and leaves the flags.
    Probe(h.dlg).m_upgradeContext.forceUpdate = true;
    Records({{0x313, 0x0150, 0, 0}});
    EXPECT_FALSE(RefusedWithBox());
    EXPECT_FALSE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);
    EXPECT_TRUE(Probe(h.dlg).m_upgradeContext.forceUpdate);
    // No normal-mode controller was recorded: no run started.
    EXPECT_FALSE(Probe(h.dlg).m_bUpdating);
}

TEST(DialogResult, EndOfRunByCode) {
    Harness h;
    h.Init();
    CFirmwareUpgradeDlg& d = h.dlg;
    // The texts themselves are the status table's (tests/upgrade); a box
    // shows for the codes at both ends of its range.
    for (const std::int32_t code : {kStatusWrongPackage, kStatusDeviceInfo}) {
        d.StartUpdateRun();
        Probe(d).m_upgradeContext.doneFlags[0] = 1;
        Probe(d).m_upgradeContext.forceUpdate = true;
        Probe(d).m_updatingRemove = true;
        const int sets = h.host.timerSets;
        d.OnUpgradeResultStatus(1, code);
        EXPECT_EQ(h.host.boxes.back().text, StatusText(code));
        EXPECT_EQ(h.host.boxes.back().caption, "Error");
        EXPECT_EQ(h.host.timerSets, sets + 1);
        EXPECT_FALSE(Probe(d).m_bUpdating);
        EXPECT_EQ(Probe(d).m_upgradeContext.doneFlags[0], 0);
        EXPECT_FALSE(Probe(d).m_upgradeContext.forceUpdate);
        EXPECT_TRUE(Probe(d).m_updatingRemove);  // kept
    }
    const std::size_t boxes = h.host.boxes.size();
    for (std::intptr_t code : {0, -11}) {
        d.StartUpdateRun();
        d.OnUpgradeResultStatus(1, code);
        EXPECT_FALSE(Probe(d).m_bUpdating);
    }
    d.OnUpgradeResultStatus(7, -1);
    EXPECT_EQ(h.host.boxes.size(), boxes);

    const std::uint64_t slept = h.sleeper.total;
    d.OnUpgradeImageDone(0, 0);
    EXPECT_EQ(h.sleeper.total - slept, 200u);
    EXPECT_TRUE(h.loop.TimerActive(kTimerId));
}

// Counts the ticks of a run that waits for a controller until it gives up.
int TicksUntilTimeOut(Harness& h) {
    const int before = h.host.ticks;
    const std::size_t boxes = h.host.boxes.size();
    EXPECT_TRUE(h.RunUntilBox(boxes));
    return h.host.ticks - before;
}

TEST(DialogTimer, TimeOutsAndRescan) {
    Harness h;
    h.Init();
    h.dlg.StartUpdateRun();
    EXPECT_EQ(TicksUntilTimeOut(h), 64);

    h.dlg.StartUpdateRun();
    Probe(h.dlg).m_updatingRemove = true;  // noted by an earlier run
    EXPECT_EQ(TicksUntilTimeOut(h), 62);
    EXPECT_FALSE(Probe(h.dlg).m_updatingRemove);

    // A controller whose arrival was missed is found by the scan on the
    // 30th tick and gets its image on the next one.
    h.host.deliverHotplug = false;
    sim::Config c = Controller(0x0130, 0, 0x0110, 0);
    c.startInBootloader = true;
    h.sim.AddController(c);
    h.host.deliverHotplug = true;
    h.dlg.StartUpdateRun();
    Probe(h.dlg).m_updatingRemove = true;
    const int before = h.host.ticks;
    const int kills = h.host.timerKills;
    h.loop.RunUntil([&] { return h.host.timerKills > kills; });
    EXPECT_EQ(h.host.ticks - before, 31);
    ASSERT_TRUE(h.RunUntilBox(h.host.boxes.size()));
    EXPECT_EQ(h.host.boxes.back().caption, "Update OK");
}

TEST(DialogSlots, DuplicatesFourthControllerAndRemoval) {
    // Upgrade-mode controllers, identified by (vid, pid, update identifier).
    auto boot = [](sim::UsbIdentity id, bool secondIcFirst) {
        sim::Config c = Controller(0x0130, 0, 0x0110, 0);
        c.startInBootloader = true;
        c.upgradeId = id;
        if (secondIcFirst) std::swap(c.ics[0], c.ics[1]);
        return c;
    };
    Harness h({boot(sim::kUpgradeId0001, false), boot(sim::kUpgradeId0001, true),
               boot(sim::kUpgradeId0001, false), boot(sim::kUpgradeId0180, false),
               boot(sim::kUpgradeId0180, true)});
    // The start-up scan finds the first interface of each identity pair.
    h.Init();
    EXPECT_EQ(m_hUpdate.Get(0).updateId, 0x313);
    EXPECT_EQ(m_hUpdate.Get(1).pid, 0x0180);
    EXPECT_TRUE(h.dlg.OnDeviceChange(HotplugEvent::Arrival, h.sim.Controller(1).path()));
    EXPECT_EQ(m_hUpdate.Get(2).updateId, 0x20D);
    EXPECT_EQ(m_hUpdate.Get(2).pid, 0x0001);
    // The duplicate is refused; the fourth identity is shown, not recorded.
    EXPECT_FALSE(h.dlg.OnDeviceChange(HotplugEvent::Arrival, h.sim.Controller(2).path()));
    h.host.texts[IDC_DEVICE_VERSION] = "";
    EXPECT_TRUE(h.dlg.OnDeviceChange(HotplugEvent::Arrival, h.sim.Controller(4).path()));
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.10 ");
    EXPECT_FALSE(m_hUpdate.HasIdentity(0x3A5C, 0x0180, 0x20D));

    // Removing an interface no slot holds changes nothing; a notification in
    // any letter case frees the slot, and the next arrival takes it.
    h.dlg.OnDeviceChange(HotplugEvent::Removal, h.sim.Controller(4).path());
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.10 ");
    h.dlg.OnDeviceChange(HotplugEvent::Removal, AsciiUpper(h.sim.Controller(0).path()));
    EXPECT_FALSE(m_hUpdate.Get(0).hidDevice);
    EXPECT_EQ(h.host.texts[IDC_DEVICE_NAME], "No Device");
    EXPECT_FALSE(h.host.buttonEnabled);
    EXPECT_TRUE(h.dlg.OnDeviceChange(HotplugEvent::Arrival, h.sim.Controller(4).path()));
    EXPECT_EQ(m_hUpdate.Get(0).updateId, 0x20D);
    EXPECT_EQ(m_hUpdate.Get(0).pid, 0x0180);
}

TEST(DialogSlots, NormalModeDuplicateAndFailedQuery) {
    sim::Config mute = Controller(0x0130, 0, 0x0110, 0);
    mute.faults.push_back({sim::FaultKind::NoStrings, 0});
    Harness h({mute, Controller(0x0130, 0, 0x0110, 0)});
    h.Init();
    // The first is recorded with "----" and one blank record; the second,
    // with the same identifiers, is ignored.
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "----");
    ASSERT_EQ(Probe(h.dlg).m_deviceInfos.size(), 1u);
    EXPECT_EQ(Probe(h.dlg).m_deviceInfos[0].fwVersion, 0);
    EXPECT_TRUE(m_hNormal.Get(0).hidDevice);
    EXPECT_FALSE(m_hNormal.Get(1).hidDevice);
    EXPECT_FALSE(h.dlg.NormalDeviceArrival(h.sim.Controller(1).path()));
}

}  // namespace
}  // namespace fwu::test
