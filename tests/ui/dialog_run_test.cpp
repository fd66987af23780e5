// Whole update runs through the dialog, the worker and the simulated
// controller.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "app/history.h"
#include "base/text.h"
#include "tests/ui/ui_harness.h"
#include "upgrade/WorkThread.h"

namespace fwu::test {
namespace {

sim::Config Bootloader() {
    sim::Config c = Controller(0x0130, 0, 0x0110, 0);
    c.startInBootloader = true;
    return c;
}

TEST(DialogRun, FromNormalModeThroughBothImagesWithLog) {
    Harness h({Controller(0x0130, 0, 0x0110, 0)}, {{"IsLogPrint", "true"}});
    h.Init();
    EXPECT_EQ(h.host.title, "M27504_Controller");
    EXPECT_EQ(h.host.texts[IDC_PACKAGE_VERSION], "V1.40.20");
    EXPECT_EQ(h.host.range, std::make_pair(0, 2624));
    EXPECT_EQ(h.host.texts[IDC_DEVICE_NAME], "M27504_Controller");
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.30.10");
    EXPECT_TRUE(h.host.buttonEnabled);

    h.dlg.OnBnClickedUpdateButton();
    EXPECT_TRUE(Probe(h.dlg).m_bUpdating);
    EXPECT_FALSE(h.host.buttonEnabled);
    EXPECT_TRUE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);
    ASSERT_TRUE(h.RunUntilBox(0));

    ASSERT_EQ(h.host.boxes.size(), 1u);
    EXPECT_EQ(h.host.boxes[0].caption, "Update OK");
    EXPECT_EQ(h.host.boxes[0].text, ShippedSuccessText());
    EXPECT_FALSE(Probe(h.dlg).m_bUpdating);
    EXPECT_GE(h.host.maxPos, 2624);  // a full bar
    EXPECT_EQ(h.sim.Controller(0).Version(0), (sim::FlashVersion{0x0140, 1}));
    EXPECT_EQ(h.sim.Controller(0).Version(1), (sim::FlashVersion{0x0120, 0}));

    // The log: the display flags come first; the run is bracketed.
    const std::string log = h.LogText();
    const std::string first = "\nFirmwareUpgradeDlg.cpp OnInitDialog() Line:";
    ASSERT_EQ(log.rfind(first, 0), 0u) << log.substr(0, 200);
    const std::size_t firstEnd = log.find('\n', 1);
    EXPECT_TRUE(log.substr(0, firstEnd).ends_with(":isKvtEmpN:0,isCfgShowSubVer:0"));
    const std::size_t start = log.find("StartUpdateRun() Line:");
    const std::size_t startText = log.find("升级开始.");
    const std::size_t end = log.find("OnUpgradeResultStatus() Line:");
    EXPECT_NE(start, std::string::npos);
    EXPECT_NE(startText, std::string::npos);
    EXPECT_NE(end, std::string::npos);
    EXPECT_LT(startText, log.find("升级结束."));
    EXPECT_NE(log.find("Device UpdateId Id与Package UpdateId相等且未升过级,进入升级"),
              std::string::npos);
}

TEST(DialogRun, FromUpgradeModeMergesDeviceVersions) {
    Harness h({Bootloader()}, {{"IsShowSubVer", "TRUE"}});
    h.Init();
    EXPECT_EQ(h.host.texts[IDC_PACKAGE_VERSION], "V1.4001.20");
    // Upgrade mode presents one IC at a time; the label keeps its blank.
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "V1.3000 ");
    EXPECT_TRUE(h.host.buttonEnabled);

    h.dlg.OnBnClickedUpdateButton();
    EXPECT_FALSE(Probe(h.dlg).m_upgradeContext.totalExcludesUpToDate);
    ASSERT_TRUE(h.RunUntilBox(0));
    EXPECT_EQ(h.host.boxes[0].caption, "Update OK");
    const UpdatePackage& images = ShippedImages();
    EXPECT_EQ(
        h.host.boxes[0].text,
        Format("Update and Verify OK!\nCheckSum:0x%08X\nRelease:0x14001\n",
               PackageImage(images[0]).checksumSum()) +
            Format("CheckSum:0x%08X\nRelease:0x120\n", PackageImage(images[1]).checksumSum()));
    // The second IC's arrival during the run is merged into the first's text.
    const auto& versions = h.host.history[IDC_DEVICE_VERSION];
    EXPECT_NE(std::find(versions.begin(), versions.end(), "V1.3000.10"), versions.end());
    EXPECT_EQ(Probe(h.dlg).m_versionText, "");
    EXPECT_EQ(Probe(h.dlg).m_versionCount, 0);
}

TEST(DialogRun, SkipsUpToDateImagesInTheProgressRange) {
    Harness h({Controller(0x0140, 1, 0x0110, 0)});
    h.Init();
    h.dlg.OnBnClickedUpdateButton();
    EXPECT_EQ(h.host.range, std::make_pair(0, 490));
    ASSERT_TRUE(h.RunUntilBox(0));
    EXPECT_EQ(h.host.boxes[0].caption, "Update OK");
    EXPECT_GE(h.host.maxPos, 490);
    EXPECT_EQ(h.sim.Controller(0).Version(1), (sim::FlashVersion{0x0120, 0}));
}

TEST(DialogRun, VersionCheckAndShift) {
    Harness h({Controller(0x0140, 1, 0x0120, 0)});
    h.Init();
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_EQ(h.host.boxes.size(), 1u);
    EXPECT_EQ(h.host.boxes[0].text,
              "Device version is higher than File version\nCan't be Updated!");
    EXPECT_EQ(h.host.boxes[0].caption, "Error");
    EXPECT_FALSE(Probe(h.dlg).m_bUpdating);
    EXPECT_EQ(h.sim.Controller(0).mode(), sim::Mode::Normal);

    // Shift forces every image to be written although it is up to date.
    h.host.shift = true;
    h.dlg.OnBnClickedUpdateButton();
    EXPECT_TRUE(Probe(h.dlg).m_upgradeContext.forceUpdate);
    EXPECT_TRUE(Probe(h.dlg).m_bUpdating);
    h.sim.Controller(0).ClearTrace();
    ASSERT_TRUE(h.RunUntilBox(1));
    EXPECT_EQ(h.host.boxes[1].caption, "Update OK");
    EXPECT_FALSE(Probe(h.dlg).m_upgradeContext.forceUpdate);
    // Every image was written: the counter passed the whole range.
    EXPECT_GE(h.host.maxPos, 2624);
}

TEST(DialogRun, FailureMidRunEndsWithItsBoxAndAllowsANewRun) {
    Harness h({Bootloader()}, {{"IsLogPrint", "true"}});
    h.Init();
    h.sim.Controller(0).AddFault({sim::FaultKind::Remove, 40});
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(h.RunUntilBox(0));
    EXPECT_EQ(h.host.boxes[0].caption, "Error");
    EXPECT_FALSE(Probe(h.dlg).m_bUpdating);
    // The removal during the run did not touch the window and was noted once.
    EXPECT_EQ(h.host.texts[IDC_DEVICE_NAME], "M27504_Controller");
    EXPECT_TRUE(Probe(h.dlg).m_updatingRemove);
    const std::string log = h.LogText();
    const std::string noted = "Device remove m_updatingRemove==true";
    EXPECT_NE(log.find(noted), std::string::npos);
    EXPECT_EQ(log.find(noted), log.rfind(noted));

    // Plugged in again, the half-written controller comes back in upgrade
    // mode; a new run completes.
    h.sim.Controller(0).ClearFaults();
    h.sim.Controller(0).Plug();
    h.loop.RunUntil([&] { return h.host.buttonEnabled; });
    ASSERT_TRUE(h.host.buttonEnabled);
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(h.RunUntilBox(1));
    EXPECT_EQ(h.host.boxes[1].caption, "Update OK");
}

TEST(DialogRun, ControllerThatNeverReturnsTimesOut) {
    sim::Config c = Controller(0x0130, 0, 0x0110, 0);
    c.faults.push_back({sim::FaultKind::NeverReturn, 0});
    Harness h({c}, {{"IsLogPrint", "true"}});
    h.Init();
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(Probe(h.dlg).m_bUpdating);
    const int ticksBefore = h.host.ticks;
    ASSERT_TRUE(h.RunUntilBox(0));
    EXPECT_EQ(h.host.ticks - ticksBefore, 64);
    EXPECT_EQ(h.host.boxes[0].text, "The device does not exist and has been removed!");
    EXPECT_EQ(h.host.boxes[0].caption, "Error");
    EXPECT_EQ(h.host.texts[IDC_DEVICE_NAME], "No Device");
    EXPECT_EQ(h.host.texts[IDC_DEVICE_VERSION], "");
    EXPECT_FALSE(Probe(h.dlg).m_bUpdating);
    const std::string log = h.LogText();
    EXPECT_NE(log.find("m_updatingRemoveRecordTime > 62"), std::string::npos);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(log.find(Format("m_hUpdate[%d].hidDevice=", i)), std::string::npos);
    }
}

// Parks the worker in its `n`-th pause of 3000 ms (the pause after an
// end-of-image command) until released; every other pause returns at once.
class ClosingPauseGate {
  public:
    explicit ClosingPauseGate(int n) : n_(n) {}
    void Pause(std::uint32_t ms) {
        if (ms != 3000) return;
        std::unique_lock lock(mutex_);
        if (++seen_ != n_) return;
        held_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return released_; });
    }
    bool WaitHeld() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return held_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    const int n_;
    int seen_ = 0;
    bool held_ = false;
    bool released_ = false;
};

TEST(DialogRun, NewRunWaitsForTheLastJobOfThePreviousOne) {
    // The previous run's last job is still in its pause after the
    // end-of-image command when the user starts a new run: its late
    // image-done message must not hand an image over a second time.
    ClosingPauseGate gate(2);  // outlives the worker, which the harness stops
    Harness h({Bootloader()});
    h.sleeper.onSleep = [&gate](std::uint32_t ms) { gate.Pause(ms); };
    h.Init();
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(h.RunUntilBox(0));
    EXPECT_EQ(h.host.boxes[0].caption, "Update OK");
    ASSERT_TRUE(gate.WaitHeld());
    // The controller restarted in normal mode with the new firmware.
    h.loop.RunUntil([&] { return h.host.buttonEnabled && m_hNormal.AnyTaken(); });
    ASSERT_TRUE(m_hNormal.AnyTaken());

    h.host.shift = true;  // its firmware is current now
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(Probe(h.dlg).m_bUpdating);
    h.sim.Controller(0).ClearTrace();
    // Ticks while the old job is parked hand nothing over.
    const int ticks = h.host.ticks;
    const int kills = h.host.timerKills;
    h.loop.RunUntil([&] { return h.host.ticks >= ticks + 100 || h.host.timerKills > kills; });
    EXPECT_EQ(h.host.timerKills, kills);
    EXPECT_EQ(Probe(h.dlg).m_updatingRemoveRecordTime, 0);

    gate.Release();
    ASSERT_TRUE(h.RunUntilBox(1));
    EXPECT_EQ(h.host.boxes[1].caption, "Update OK");
    // The success box comes before the last end-of-image command.
    h.loop.RunUntil([&] { return Probe(h.dlg).m_pWorkThread->Idle(); });
    EXPECT_EQ(h.host.boxes.size(), 2u);
    int endOfImage = 0;
    for (const sim::TraceEntry& e : h.sim.Controller(0).Trace()) {
        if (e.dir == sim::TraceDir::HostToDevice && e.kind == sim::TraceKind::Report &&
            e.bytes.size() > 2 && e.bytes[1] == 0xA5 && e.bytes[2] == 0xE6) {
            ++endOfImage;
        }
    }
    EXPECT_EQ(endOfImage, 2);  // each image once
}

// The window's records of its presses: ended at "Update OK" (the window
// confirms nothing), at the refusal, and as failed when the window goes in the
// middle of a run.
TEST(DialogRun, EachPressIsRecordedInTheUpdateHistory) {
    Harness h({Controller(0x0130, 0, 0x0110, 0)});
    RunHistory history(h.dir.Utf8("state"), {"9.9", "window"});
    std::optional<ScopedUpdateHistory> installed(&history);
    h.Init();
    h.dlg.OnBnClickedUpdateButton();
    EXPECT_TRUE(h.dlg.RunRecord().has_value());
    ASSERT_TRUE(h.RunUntilBox(0));
    EXPECT_FALSE(h.dlg.RunRecord().has_value());
    // Back in normal mode with the package's firmware: refused.
    h.loop.RunUntil([&] { return h.host.buttonEnabled && m_hNormal.AnyTaken(); });
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_EQ(h.host.boxes.size(), 2u);
    h.host.shift = true;
    h.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(Probe(h.dlg).m_bUpdating);
    h.loop.Quit();
    h.dlg.OnDestroy();
    installed.reset();

    const HistoryContents contents = ParseHistory(h.system.appended[history.Path()]);
    ASSERT_EQ(contents.entries.size(), 3u);
    const HistoryRecord& updated = contents.entries[0].record;
    EXPECT_EQ(updated.outcome, "updated");
    EXPECT_EQ(updated.status, 0);
    EXPECT_EQ(updated.before, "V1.30.10");
    EXPECT_EQ(updated.after, "V1.40.20");
    EXPECT_EQ(updated.returnedVersion, "");
    EXPECT_EQ(updated.frontEnd, "window");
    EXPECT_EQ(updated.serial, "FWUSIM0000");
    const HistoryRecord& refused = contents.entries[1].record;
    EXPECT_EQ(refused.outcome, "refused");
    EXPECT_EQ(refused.before, "V1.40.20");
    EXPECT_EQ(refused.after, "");
    const HistoryRecord& closed = contents.entries[2].record;
    EXPECT_EQ(closed.outcome, "failed");
    EXPECT_EQ(closed.status, 1);
    EXPECT_TRUE(closed.forced);
}

}  // namespace
}  // namespace fwu::test
