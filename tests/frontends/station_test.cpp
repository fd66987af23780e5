// The station in-process on several simulated controllers: each controller's
// own outcome, a stop request during a batch, the exit status and summary,
// and the rule for platforms that give no USB port. Every run's timers run
// in virtual time and pauses return at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/history.h"
#include "frontends/options.h"
#include "frontends/services.h"
#include "frontends/station/station.h"
#include "frontends/station/station_text.h"
#include "log/log.h"
#include "tests/support/files.h"
#include "tests/support/package.h"
#include "tests/support/services.h"

namespace fwu::test {
namespace {

// What the station showed, and the pipe text beside it.
class RecordingView : public IStationView {
  public:
    void Started(const std::string& product, const std::string& version) override {
        text.Started(product, version);
    }
    void RowChanged(const StationRow& row) override {
        rows[row.port] = row;
        text.RowChanged(row);
        if (onRow) onRow(row);
    }
    void RowRemoved(const std::string& port) override {
        removed.push_back(port);
        text.RowRemoved(port);
    }
    void PortLine(const std::string& port, const std::string& line) override {
        text.PortLine(port, line);
    }
    void Notice(const std::string& line) override {
        notices.push_back(line);
        text.Notice(line);
        if (onNotice) onNotice(line);
    }
    void Finished(const StationCounts& c, int s) override {
        counts = c;
        status = s;
        text.Finished(c, s);
    }

    std::map<std::string, StationRow> rows;  // the last state of each port's row
    std::vector<std::string> removed;
    std::vector<std::string> notices;
    StationCounts counts;
    int status = -1;
    std::function<void(const StationRow&)> onRow;
    std::function<void(const std::string&)> onNotice;
    std::ostringstream out;
    StationTextView text{out, false};
};

// The simulated controllers with no locations (as under Wine), or with one
// of them held by another program: it cannot be opened, and the backend
// says why.
class OtherBackend : public IHidBackend {
  public:
    OtherBackend(sim::SimBackend& sim, bool locations, int held = -1)
        : sim_(sim), locations_(locations), held_(held) {}
    std::vector<std::string> EnumeratePaths() override { return sim_.EnumeratePaths(); }
    std::unique_ptr<IHidDevice> Open(const std::string& path) override {
        return LockedByOther(path) ? nullptr : sim_.Open(path);
    }
    bool LockedByOther(const std::string& path) override {
        return held_ >= 0 && path == sim_.Controller(static_cast<std::size_t>(held_)).path();
    }
    std::string Location(const std::string& path) override {
        return locations_ ? sim_.Location(path) : std::string();
    }

  private:
    sim::SimBackend& sim_;
    bool locations_;
    int held_;
};

class StationRun : public ::testing::Test {
  protected:
    StationRun() {
        system_.exePath = dir_.Utf8("FirmwareUpgrade.exe");
        system_.iniFiles[dir_.Utf8("LogConfig.ini")] = "[Settings]\nIsLogPrint=true\n";
        system_.records = {{kConfigRecordId, ShippedRecords().config},
                           {kPackageRecordId, ShippedRecords().package}};
    }

    // Simulated controllers set up as the command line would.
    void Controllers(std::initializer_list<const char*> args) {
        std::vector<const char*> argv{"FirmwareUpgrade", "--simulate-fast"};
        argv.insert(argv.end(), args.begin(), args.end());
        const Options options = ParseOptions(static_cast<int>(argv.size()), argv.data());
        ASSERT_TRUE(options.error.empty()) << options.error;
        for (unsigned unit = 0; unit < options.simCount; ++unit) {
            std::string error;
            sim_.AddController(MakeSimConfig(options, &ShippedConfig(), error, unit));
            ASSERT_TRUE(error.empty());
            before_.push_back(sim_.Controller(unit).Flash(0));
        }
    }

    int Run(unsigned count, IHidBackend* hid = nullptr) {
        const ScopedServices backend({.hid = hid != nullptr ? hid : &sim_, .fresh = false});
        StationSettings settings;
        settings.waitSeconds = 5;
        settings.count = count;
        settings.appName = "FirmwareUpgrade";
        settings.virtualClock = true;
        engine_ = std::make_unique<StationEngine>(settings, &sim_, view_);
        const int status = engine_->Run();
        EXPECT_EQ(status, view_.status);
        return status;
    }

    StationOutcome Outcome(const std::string& port) { return view_.rows[port].outcome; }
    // Every image of controller `unit` holds the package's firmware.
    bool Updated(std::size_t unit) {
        sim::SimController c = sim_.Controller(unit);
        for (int k = 0; k < 2; ++k) {
            if (c.Flash(k) != DefaultPackage().firmware[static_cast<std::size_t>(k)] ||
                !c.ImageValid(k))
                return false;
        }
        return true;
    }
    bool Untouched(std::size_t unit) {
        return sim_.Controller(unit).Reenumerations() == 0 &&
               sim_.Controller(unit).Flash(0) == before_[unit];
    }

    ScratchDir dir_{"fwu_station_"};
    FakeSystem system_;
    FakeSleeper sleeper_;
    sim::SimBackend sim_;
    ScopedServices services_{{.system = &system_, .sleeper = &sleeper_, .rumble = &sim_}};
    RecordingView view_;
    std::unique_ptr<StationEngine> engine_;
    std::vector<std::vector<std::uint8_t>> before_;
};

TEST_F(StationRun, MixedBatchEndsWithEachControllersOwnOutcome) {
    // sim0 current, sim1 in its bootloader from the start and on protocol
    // 1.0, sim2 with a failed write in its first image, sim3 unplugged in
    // the middle of its run, sim4 an ordinary one.
    Controllers({"--simulate-count=5", "--simulate-unit=0:current", "--simulate-unit=1:bootloader",
                 "--simulate-unit=1:protocol=1.0", "--simulate-unit=2:write-fail@60",
                 "--simulate-unit=3:remove@60"});
    RunHistory history(dir_.Utf8("state"), {"9.9", "station", true, false});
    std::optional<ScopedUpdateHistory> recording(&history);
    EXPECT_EQ(Run(5), kExitFailed) << view_.out.str();
    recording.reset();

    // One history record per controller, each of its own port, also the one
    // the version check refused.
    const std::string& text = system_.appended[history.Path()];
    std::map<std::string, HistoryRecord> records;
    for (const HistoryEntry& entry : ParseHistory(text).entries)
        records[entry.record.location] = entry.record;
    ASSERT_EQ(records.size(), 5u) << text;
    for (const auto& [port, record] : records) {
        EXPECT_EQ(record.serial, "FWUSIM000" + port.substr(3)) << port;
        EXPECT_EQ(record.vid, 0x3A5C) << port;
        EXPECT_EQ(record.status, view_.rows[port].status) << port;
    }
    EXPECT_EQ(records["sim0"].outcome, "refused");

    EXPECT_EQ(Outcome("sim0"), StationOutcome::Current);
    EXPECT_TRUE(Untouched(0));
    EXPECT_EQ(view_.rows["sim0"].versionBefore, "V1.40.20");
    EXPECT_EQ(Outcome("sim1"), StationOutcome::Updated);
    EXPECT_TRUE(Updated(1));
    EXPECT_EQ(view_.rows["sim1"].versionAfter, "V1.40.20");
    EXPECT_EQ(Outcome("sim2"), StationOutcome::Failed);
    EXPECT_FALSE(sim_.Controller(2).ImageValid(0));
    EXPECT_EQ(sim_.Controller(2).mode(), sim::Mode::Upgrade);
    EXPECT_EQ(Outcome("sim3"), StationOutcome::Failed);
    EXPECT_FALSE(view_.rows["sim3"].detail.empty());  // the command that found it gone
    EXPECT_EQ(sim_.Controller(3).mode(), sim::Mode::Absent);
    EXPECT_EQ(Outcome("sim4"), StationOutcome::Updated);
    EXPECT_TRUE(Updated(4));
    EXPECT_EQ(view_.rows["sim4"].versionBefore, "V1.30.10");
    EXPECT_EQ(view_.counts, (StationCounts{.updated = 2, .current = 1, .failed = 2}));

    // On a pipe every line of a run carries its port, and the summary ends it.
    std::istringstream lines(view_.out.str());
    std::string line;
    std::string last;
    std::map<std::string, int> perPort;
    while (std::getline(lines, line)) {
        if (line.starts_with("[sim")) ++perPort[line.substr(0, 6)];
        last = line;
    }
    EXPECT_EQ(perPort.size(), 5u);
    EXPECT_NE(view_.out.str().find("[sim4] [Update OK]\n"), std::string::npos);
    EXPECT_NE(view_.out.str().find("[sim2] Outcome: failed: "), std::string::npos);
    EXPECT_EQ(last, "2 updated, 1 already current, 2 failed");

    // One log file for the whole process, each run's lines tagged with its port.
    std::size_t logs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        logs += entry.path().filename().string().starts_with("Log_") ? 1 : 0;
    EXPECT_EQ(logs, 1u);
    const std::string log = ReadFileText(logFilePath());
    for (const char* tag : {"\n[sim0] ", "\n[sim1] ", "\n[sim4] "})
        EXPECT_NE(log.find(tag), std::string::npos) << tag;
}

TEST_F(StationRun, StopLetsTheRunsInProgressFinishAndTakesNoNewController) {
    Controllers({"--simulate-count=3"});
    bool stopped = false;
    view_.onRow = [&](const StationRow& row) {
        if (stopped || row.percent < 1) return;
        stopped = true;
        engine_->RequestStop();
        sim::Config late;
        sim_.AddController(late);  // plugged in after the stop: left alone
    };
    EXPECT_EQ(Run(0), kExitUpdated) << view_.out.str();
    ASSERT_TRUE(stopped);
    for (std::size_t unit = 0; unit < 3; ++unit) EXPECT_TRUE(Updated(unit)) << unit;
    EXPECT_EQ(view_.counts, (StationCounts{.updated = 3}));
    EXPECT_EQ(sim_.Controller(3).Reenumerations(), 0u);
    EXPECT_EQ(view_.rows.count("sim3"), 0u);
    ASSERT_FALSE(view_.notices.empty());
    EXPECT_EQ(view_.notices[0],
              "Stopping: no new controllers are taken; waiting for 3 runs in progress to finish.");
    EXPECT_TRUE(view_.out.str().ends_with("\n3 updated, 0 already current, 0 failed\n"));
}

TEST_F(StationRun, AFinishedControllerIsServedAgainOnlyAfterItWasUnplugged) {
    Controllers({"--simulate-count=1"});
    int outcomes = 0;
    view_.onRow = [&](const StationRow& row) {
        if (row.outcome == StationOutcome::Running || ++outcomes != 1) return;
        // Still plugged in: nothing happens until it is unplugged and
        // plugged in again (then it is current).
        sim_.Controller(0).Unplug();
        sim_.Controller(0).Plug();
    };
    EXPECT_EQ(Run(2), kExitUpdated) << view_.out.str();
    EXPECT_EQ(view_.counts, (StationCounts{.updated = 1, .current = 1}));
    EXPECT_EQ(view_.removed, std::vector<std::string>{"sim0"});
    EXPECT_EQ(Outcome("sim0"), StationOutcome::Current);
}

TEST_F(StationRun, WithoutLocationsAControllerIsServedOnlyWhileItIsAlone) {
    Controllers({"--simulate-count=3"});
    OtherBackend hid(sim_, false);
    // Each notice (once per number attached) is answered by unplugging one.
    std::size_t unplugged = 3;
    view_.onNotice = [&](const std::string& line) {
        if (line.find("controllers are attached") != std::string::npos)
            sim_.Controller(--unplugged).Unplug();
    };
    EXPECT_EQ(Run(1, &hid), kExitUpdated) << view_.out.str();
    const std::string why =
        " controllers are attached and this system does not say which USB port each is "
        "plugged into: a controller is updated only while it is the only one attached.";
    EXPECT_EQ(view_.notices, (std::vector<std::string>{"3" + why, "2" + why}));
    EXPECT_TRUE(Updated(0));
    EXPECT_TRUE(Untouched(1) && Untouched(2));
    EXPECT_EQ(Outcome(""), StationOutcome::Updated);
    EXPECT_NE(view_.out.str().find("[no port] [Update OK]"), std::string::npos);
}

TEST_F(StationRun, AControllerHeldByAnotherProgramIsReportedAndSkipped) {
    Controllers({"--simulate-count=2"});
    OtherBackend hid(sim_, true, 0);
    EXPECT_EQ(Run(2, &hid), kExitNoDevice) << view_.out.str();
    EXPECT_EQ(Outcome("sim0"), StationOutcome::Skipped);
    EXPECT_EQ(view_.rows["sim0"].detail, "the controller is being updated by another program");
    EXPECT_TRUE(Untouched(0));
    EXPECT_EQ(Outcome("sim1"), StationOutcome::Updated);
    EXPECT_TRUE(Updated(1));
    EXPECT_TRUE(view_.out.str().ends_with("\n1 updated, 0 already current, 0 failed, 1 skipped\n"));
}

TEST(StationSummary, ExitStatusAndWords) {
    struct Case {
        StationCounts counts;
        int status;
        const char* text;
    };
    for (const Case& c : std::vector<Case>{
             {{}, kExitNoDevice, "0 updated, 0 already current, 0 failed"},
             {{.updated = 12, .current = 3},
              kExitUpdated,
              "12 updated, 3 already current, 0 failed"},
             {{.updated = 12, .current = 3, .failed = 1, .unconfirmed = 2},
              kExitFailed,
              "12 updated, 3 already current, 1 failed, 2 unconfirmed"},
             {{.updated = 1, .unconfirmed = 1, .skipped = 1},
              kExitUnconfirmed,
              "1 updated, 0 already current, 0 failed, 1 unconfirmed, 1 skipped"},
             {{.current = 2, .skipped = 1},
              kExitNoDevice,
              "0 updated, 2 already current, 0 failed, 1 skipped"},
         }) {
        EXPECT_EQ(StationExitStatus(c.counts), c.status) << c.text;
        EXPECT_EQ(SummaryText(c.counts), c.text);
    }
    EXPECT_EQ(OutcomeOfStatus(kExitRefused), StationOutcome::Current);
    EXPECT_EQ(OutcomeOfStatus(kExitNoDevice), StationOutcome::Skipped);
}

}  // namespace
}  // namespace fwu::test
