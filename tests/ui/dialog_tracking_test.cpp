// Device labels built from arrivals, the timer's and the version check's log
// lines, and which notifications the dialog ignores.
#include <gtest/gtest.h>

#include "base/text.h"
#include "tests/ui/ui_harness.h"

namespace fwu::test {
namespace {

sim::Config Bootloader(std::uint16_t fw0) {
    sim::Config c = Controller(fw0, 0, 0x0110, 0);
    c.startInBootloader = true;
    return c;
}

// A started dialog with logging on and no controller yet; controllers added
// later are not announced, the tests deliver their arrivals themselves.
struct Quiet : Harness {
    Quiet() : Harness({}, {{"IsLogPrint", "true"}}) {
        Init();
        host.deliverHotplug = false;
    }
    std::string Add(const sim::Config& c) {
        sim.AddController(c);
        return sim.Controller(sim.ControllerCount() - 1).path();
    }
};

TEST(DialogTracking, UpgradeModeEntriesMergeDuringARun) {
    Quiet h;
    Probe(h.dlg).m_bUpdating = true;
    // Same major: only the minor part is appended.
    Probe(h.dlg).m_versionText = "V1.40 ";
    EXPECT_TRUE(h.dlg.UpdateDeviceArrival(h.Add(Bootloader(0x0120))));
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.40.20");
    EXPECT_EQ(Probe(h.dlg).m_versionText, "V1.40.20");

    // Another major: a dot and the whole entry.
    m_hUpdate.Reset();
    Probe(h.dlg).m_versionText = "V1.40 ";
    EXPECT_TRUE(h.dlg.UpdateDeviceArrival(h.Add(Bootloader(0x0220))));
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.40.2.20");

    // From the second normal-mode record on, the label is left alone.
    m_hUpdate.Reset();
    Probe(h.dlg).m_versionText = "V1.40 ";
    Probe(h.dlg).m_versionCount = 2;
    EXPECT_TRUE(h.dlg.UpdateDeviceArrival(h.Add(Bootloader(0x0120))));
    EXPECT_EQ(Probe(h.dlg).m_versionText, "V1.40 ");
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.40.2.20");
    EXPECT_TRUE(h.host.history[IDC_DEVICE_NAME].empty());  // a run keeps the window
    EXPECT_NE(h.LogText().find("Device arrival FwUpdateId:0x313"), std::string::npos);
}

// A controller just enumerated in upgrade mode may drop its first query; it
// is asked again, and a silent one is not.
TEST(DialogTracking, UpgradeModeQueryIsAskedAgainAfterOneFailedTransfer) {
    const struct {
        sim::Fault fault;
        const char* shown;
        bool retried;
    } cases[] = {
        {{sim::FaultKind::WriteFail, 1}, "V1.30 ", true},
        {{sim::FaultKind::ReadFail, 1}, "V1.30 ", true},
        {{sim::FaultKind::ReadFail, 2}, "V1.30 ", true},
        {{sim::FaultKind::NoAnswer, 1}, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::FaultName(c.fault));
        sim::Config controller = Bootloader(0x0130);
        controller.faults = {c.fault};
        Harness h({controller}, {{"IsLogPrint", "true"}});
        h.Init();
        EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], c.shown);
        EXPECT_EQ(m_hUpdate.Get(0).updateId, c.retried ? 0x313 : 0);
        const std::string log = h.LogText();
        EXPECT_NE(log.find("Device info query failed, try 1 of 3."), std::string::npos);
        EXPECT_EQ(log.find("try 2 of 3."), std::string::npos);
    }
}

TEST(DialogTracking, NormalModeRecordMatchingTwoImagesCountsTwice) {
    Quiet h;
    Probe(h.dlg).m_config.imageCount = 3;
    Probe(h.dlg).m_config.updateId[2] = 0x20D;
    Probe(h.dlg).m_bUpdating = true;  // a normal-mode arrival shows itself even during a run
    const std::string path = h.Add(Controller(0x0130, 0, 0x0110, 0));
    EXPECT_TRUE(h.dlg.NormalDeviceArrival(path));
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.30.10.10");
    EXPECT_EQ(Probe(h.dlg).m_deviceInfos.size(), 3u);
    EXPECT_EQ(Probe(h.dlg).m_versionCount, 3);
    EXPECT_TRUE(h.host.buttonEnabled);

    // Its removal during the run frees the slot and leaves the window as it is.
    h.dlg.OnDeviceChange(HotplugEvent::Removal, path);
    EXPECT_FALSE(m_hNormal.Get(0).hidDevice);
    EXPECT_TRUE(h.host.buttonEnabled);
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.30.10.10");
}

TEST(DialogTracking, IgnoredNotifications) {
    Quiet h;
    const std::string path = h.Add(Bootloader(0x0130));
    // Not a device interface, or not an arrival or removal: nothing happens.
    EXPECT_TRUE(h.dlg.OnDeviceChange(kDeviceArrival, 2, path));
    EXPECT_TRUE(h.dlg.OnDeviceChange(0x8006, kDeviceTypeInterface, path));
    EXPECT_FALSE(m_hUpdate.AnyTaken());
    EXPECT_TRUE(h.dlg.OnDeviceChange(kDeviceArrival, kDeviceTypeInterface, path));
    EXPECT_TRUE(m_hUpdate.AnyTaken());
    const std::string log = h.LogText();
    EXPECT_EQ(log.find("Vid:0x"), log.rfind("Vid:0x"));
}

// The controllers are there, but this user may not open them, or another
// program holds them (the simulated controller is always free to open). Also
// notes what it is asked to give a driver back to.
class RefusingBackend : public IHidBackend {
  public:
    RefusingBackend(IHidBackend& inner, bool denied, bool locked)
        : inner_(inner), denied_(denied), locked_(locked) {}
    std::vector<std::string> EnumeratePaths() override { return inner_.EnumeratePaths(); }
    std::unique_ptr<IHidDevice> Open(const std::string& path) override {
        return denied_ || locked_ ? nullptr : inner_.Open(path);
    }
    bool AccessDenied(const std::string&) override { return denied_; }
    bool LockedByOther(const std::string&) override { return locked_; }
    int RestoreDrivers(const std::vector<HidIdentity>& identities) override {
        std::string list;
        for (const HidIdentity& id : identities) list += Format("%04x:%04x ", id.vid, id.pid);
        restores.push_back(list);
        return 1;
    }
    std::vector<std::string> restores;

  private:
    IHidBackend& inner_;
    bool denied_;
    bool locked_;
};

TEST(DialogTracking, ControllerThatMayNotBeOpenedOrIsHeldElsewhereIsToldOnce) {
    struct Case {
        bool denied;
        bool locked;
        const char* text;
    };
    for (const Case c : {Case{true, false, "70-firmwareupgrade.rules"},
                         Case{false, true, "the controller is being updated by another program"}}) {
        Harness h({Controller(0x0130, 0, 0x0110, 0)}, {{"IsLogPrint", "true"}});
        RefusingBackend refusing(h.sim, c.denied, c.locked);
        const ScopedServices refuse({.hid = &refusing, .fresh = false});
        h.Init();
        ASSERT_EQ(h.host.boxes.size(), 1u) << c.text;
        EXPECT_NE(h.host.boxes[0].text.find(c.text), std::string::npos);
        EXPECT_EQ(h.host.boxes[0].outcome, c.locked ? RunOutcome::Locked : RunOutcome::None);
        // Later arrivals of the same controller say nothing more.
        h.host.deliverHotplug = false;
        h.sim.Controller(0).Unplug();
        h.sim.Controller(0).Plug();
        EXPECT_FALSE(h.dlg.OnDeviceChange(HotplugEvent::Arrival, h.sim.Controller(0).path()));
        EXPECT_EQ(h.host.boxes.size(), 1u);
        EXPECT_FALSE(h.host.buttonEnabled);
        EXPECT_FALSE(m_hNormal.AnyTaken());
        if (c.locked) {
            EXPECT_NE(h.LogText().find("another program holds the controller"), std::string::npos);
        }
    }
}

// Interfaces left without a driver get it back when the dialog starts (after
// its searches, so that they arrive as plugged in) and when the scan in the
// middle of a run's wait for the controller runs; every configured identity
// is named, 0/0 pairs left out.
TEST(DialogTracking, DriversAreRestoredAtStartAndDuringTheWaitOfARun) {
    Harness h({}, {{"IsLogPrint", "true"}});
    RefusingBackend backend(h.sim, false, false);
    const ScopedServices use({.hid = &backend, .fresh = false});
    h.Init();
    const auto& config = Probe(h.dlg).m_config;
    std::string expected;
    for (const UsbId& id : config.normalIds) {
        if (id.BothNonZero()) expected += Format("%04x:%04x ", id.vid, id.pid);
    }
    expected += "3a5c:0001 3a5c:0180 ";
    if (config.upgradeId.BothNonZero())
        expected += Format("%04x:%04x ", config.upgradeId.vid, config.upgradeId.pid);
    ASSERT_EQ(backend.restores, (std::vector<std::string>{expected}));
    EXPECT_NE(h.LogText().find("Driver restored for 1 controller interface(s)."),
              std::string::npos);

    h.dlg.StartUpdateRun();
    Probe(h.dlg).m_updatingRemove = true;
    for (int tick = 0; tick < 30; ++tick) h.dlg.OnTimer(kTimerId);
    EXPECT_EQ(backend.restores.size(), 2u);
}

TEST(DialogTracking, TimerLogsEachImageThatDoesNotQualify) {
    Quiet h;
    h.dlg.UpdateDeviceArrival(h.Add(Bootloader(0x0130)));
    h.dlg.StartUpdateRun();
    Probe(h.dlg).m_upgradeContext.doneFlags[0] = 1;
    h.dlg.OnTimer(2);  // another timer: nothing
    EXPECT_EQ(Probe(h.dlg).m_updatingRemoveRecordTime, 0);
    h.dlg.OnTimer(kTimerId);
    EXPECT_EQ(Probe(h.dlg).m_updatingRemoveRecordTime, 1);
    const std::string log = h.LogText();
    const std::size_t first =
        log.find(":Device UpdateId:313 Package UpdateId:313 Checked Update:1 \n");
    const std::size_t second =
        log.find(":Device UpdateId:313 Package UpdateId:20D Checked Update:0 \n");
    const std::size_t none = log.find(":未找到符合升级条件！的ID\n");
    const std::size_t waiting = log.find(":m_updatingRemove==false");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_LT(first, second);
    EXPECT_LT(second, none);
    EXPECT_LT(none, waiting);
    EXPECT_NE(waiting, std::string::npos);
}

TEST(DialogTracking, VersionCheckLogsPackageAndDeviceValues) {
    Quiet h;
    // Image 0 compares with its sub-version, image 1 by firmware version only.
    Probe(h.dlg).m_deviceInfos = {{0x313, 0x0130, 7, 0}, {0x20D, 0x0110, 9, 0}};
    h.dlg.OnBnClickedUpdateButton();
    const std::string log = h.LogText();
    EXPECT_NE(log.find(":pkgVer:1400001,devVer:1300007"), std::string::npos) << log;
    EXPECT_NE(log.find(":pkgVer:120,devVer:110"), std::string::npos);
    EXPECT_TRUE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);
}

}  // namespace
}  // namespace fwu::test
