// The station's window on a real X server (ctest runs this under xvfb-run):
// the executable started with --station shows each controller's own outcome
// and the counts; closing the window while runs are in progress lets them
// finish before it goes.
#include <gtest/gtest.h>

#include <QApplication>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frontends/options.h"
#include "frontends/qt/station_window.h"
#include "sim/sim.h"
#include "tests/support/files.h"
#include "tests/support/package.h"
#include "tests/support/process.h"
#include "tests/support/services.h"

namespace fwu::test {
namespace {

// The dump's rows by port: each row's cells after the port.
std::map<std::string, std::vector<std::string>> Rows(const std::string& dump,
                                                     std::string& summary) {
    std::map<std::string, std::vector<std::string>> rows;
    std::istringstream lines(dump);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("summary: ")) summary = line.substr(9);
        if (!line.starts_with("row: ")) continue;
        std::vector<std::string> cells;
        for (std::size_t at = 5, bar = 0; bar != std::string::npos; at = bar + 3) {
            bar = line.find(" | ", at);
            cells.push_back(line.substr(at, bar == std::string::npos ? bar : bar - at));
        }
        rows[cells[0]] = std::vector<std::string>(cells.begin() + 1, cells.end());
    }
    return rows;
}

TEST(StationWindowProcess, ShowsEachControllersOutcomeAndTheCounts) {
    ScratchDir dir("fwu_station_window_");
    const std::string dump = dir.Utf8("rows.txt");
    // One current, one updated, one whose write fails in its first image.
    const ProcessOutcome o = RunProcess(
        "cd '" + dir.path().string() + "' && env -u WAYLAND_DISPLAY FWU_STATION_DUMP='" + dump +
        "' '" FWU_EXE
        "' --station --count 3 --simulate-count=3 --simulate-fast "
        "--simulate-unit=0:current --simulate-unit=2:write-fail@60 2>&1");
    EXPECT_EQ(o.status, kExitFailed) << o.output;
    // The window, not the console station, showed it.
    EXPECT_EQ(o.output.find("Product: "), std::string::npos) << o.output;

    const std::string text = ReadFileText(dump);
    ASSERT_FALSE(text.empty()) << o.output;
    EXPECT_TRUE(text.starts_with("package: Package FW Version: V1.40.20\n")) << text;
    std::string summary;
    const auto rows = Rows(text, summary);
    ASSERT_EQ(rows.size(), 3u) << text;
    // Controller, firmware before, progress, outcome, time (not asserted).
    EXPECT_EQ(rows.at("sim0")[1] + "|" + rows.at("sim0")[3], "V1.40.20|already current");
    const std::vector<std::string>& sim1 = rows.at("sim1");
    EXPECT_EQ(sim1[0] + "|" + sim1[1] + "|" + sim1[2] + "|" + sim1[3],
              "M27504_Controller|V1.30.10|100%|updated to V1.40.20");
    EXPECT_TRUE(rows.at("sim2")[3].starts_with("failed: ")) << text;
    EXPECT_EQ(summary, "1 updated, 1 already current, 1 failed");
}

class StationWindowRun : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "FirmwareUpgrade";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }

    StationWindowRun() {
        system_.exePath = dir_.Utf8("FirmwareUpgrade");
        system_.records = {{kConfigRecordId, ShippedRecords().config},
                           {kPackageRecordId, ShippedRecords().package}};
        for (int unit = 0; unit < 2; ++unit) sim_.AddController(sim::Config{});
    }

    static QApplication* app_;
    ScratchDir dir_{"fwu_station_window_"};
    FakeSystem system_;
    FakeSleeper sleeper_;
    sim::SimBackend sim_;
    ScopedServices services_{{&system_, &sleeper_, &sim_, &sim_}};
};
QApplication* StationWindowRun::app_ = nullptr;

TEST_F(StationWindowRun, RowsFollowTheStationsCalls) {
    StationWindow window;
    auto row = [](const char* port, StationOutcome outcome, int percent = -1) {
        StationRow r;
        r.port = port;
        r.controller = "M27504_Controller";
        r.outcome = outcome;
        r.percent = percent;
        r.detail = "gone";
        return r;
    };
    window.RowChanged(row("1-1", StationOutcome::Running));
    window.RowChanged(row("1-2", StationOutcome::Running, 40));
    window.RowChanged(row("", StationOutcome::Running));
    window.RowChanged(row("1-1", StationOutcome::Failed, 3));
    window.RowRemoved("1-1");
    // The next controller at a port whose row kept its outcome.
    window.RowChanged(row("1-2", StationOutcome::Current));
    window.RowChanged(row("1-2", StationOutcome::Running));
    window.RowChanged(row("1-2", StationOutcome::Skipped));
    QCoreApplication::processEvents();
    std::string summary;
    const auto rows = Rows(window.Dump(), summary);
    ASSERT_EQ(rows.size(), 2u) << window.Dump();
    EXPECT_EQ(rows.at("1-2")[3], "skipped: gone");
    EXPECT_EQ(rows.at("no port")[2], "");
    EXPECT_EQ(rows.at("no port")[3], "running");
    EXPECT_EQ(summary, "0 updated, 1 already current, 1 failed, 1 skipped");
}

// At the first progress it closes itself twice while the station's thread
// waits, so that both closes come with runs in progress.
class ClosingWindow : public StationWindow {
  public:
    void RowChanged(const StationRow& row) override {
        StationWindow::RowChanged(row);
        if (closed_ || row.percent < 1) return;
        closed_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                close();
                openAfterFirst = isVisible() && Stopping();
                close();
                openAfterSecond = isVisible();
                afterSecond = Dump();
            },
            Qt::BlockingQueuedConnection);
    }

    bool openAfterFirst = false;
    bool openAfterSecond = false;
    std::string afterSecond;

  private:
    bool closed_ = false;
};

TEST_F(StationWindowRun, ClosingWaitsForTheRunsInProgressThenCloses) {
    ClosingWindow window;
    StationSettings settings;
    settings.appName = "FirmwareUpgrade";
    settings.virtualClock = true;
    StationEngine engine(settings, &sim_, window);
    EXPECT_EQ(window.Exec(engine), kExitUpdated);

    EXPECT_TRUE(window.openAfterFirst);
    EXPECT_TRUE(window.openAfterSecond);  // the second close is refused
    EXPECT_NE(window.afterSecond.find("status: Still finishing the runs in progress"),
              std::string::npos)
        << window.afterSecond;
    EXPECT_FALSE(window.isVisible());
    std::string summary;
    const auto rows = Rows(window.Dump(), summary);
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& [port, cells] : rows) EXPECT_EQ(cells[3], "updated to V1.40.20") << port;
    EXPECT_EQ(summary, "2 updated, 0 already current, 0 failed");
    for (std::size_t unit = 0; unit < 2; ++unit)
        EXPECT_EQ(sim_.Controller(unit).Flash(0), DefaultPackage().firmware[0]) << unit;
}

}  // namespace
}  // namespace fwu::test
