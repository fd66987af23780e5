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
#include "frontends/services.h"
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
    // Controller, firmware before, progress, outcome (the time is not asserted).
    const std::vector<std::string> current{"M27504_Controller", "V1.40.20", "", "already current"};
    const std::vector<std::string> updated{"M27504_Controller", "V1.30.10", "100%",
                                           "updated to V1.40.20"};
    EXPECT_EQ(std::vector(rows.at("sim0").begin(), rows.at("sim0").end() - 1), current) << text;
    EXPECT_EQ(std::vector(rows.at("sim1").begin(), rows.at("sim1").end() - 1), updated) << text;
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

// Passes every call on to the window; at the first progress it closes the
// window twice while the station's thread waits, so that both closes come
// with runs in progress.
class ClosingView : public IStationView {
  public:
    explicit ClosingView(StationWindow& window) : window_(window) {}
    void Started(const std::string& product, const std::string& version) override {
        window_.Started(product, version);
    }
    void RowChanged(const StationRow& row) override {
        window_.RowChanged(row);
        if (closed_ || row.percent < 1) return;
        closed_ = true;
        QMetaObject::invokeMethod(
            &window_,
            [this] {
                window_.close();
                openAfterFirst = window_.isVisible() && window_.Stopping();
                window_.close();
                openAfterSecond = window_.isVisible();
                afterSecond = window_.Dump();
            },
            Qt::BlockingQueuedConnection);
    }
    void RowRemoved(const std::string& port) override { window_.RowRemoved(port); }
    void Notice(const std::string& text) override { window_.Notice(text); }
    void Finished(const StationCounts& counts, int status) override {
        window_.Finished(counts, status);
    }

    bool openAfterFirst = false;
    bool openAfterSecond = false;
    std::string afterSecond;

  private:
    StationWindow& window_;
    bool closed_ = false;
};

TEST_F(StationWindowRun, ClosingWaitsForTheRunsInProgressThenCloses) {
    StationWindow window;
    ClosingView view(window);
    StationSettings settings;
    settings.appName = "FirmwareUpgrade";
    settings.virtualClock = true;
    StationEngine engine(settings, &sim_, view);
    EXPECT_EQ(window.Exec(engine), kExitUpdated);

    EXPECT_TRUE(view.openAfterFirst);
    EXPECT_TRUE(view.openAfterSecond);  // the second close is refused
    EXPECT_NE(view.afterSecond.find("status: Still finishing the runs in progress"),
              std::string::npos)
        << view.afterSecond;
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
