// The station's window (--station with a display, Linux): one row per USB
// port with the controller there, its firmware before, a progress bar, the
// outcome and the time; the package's version at the top, the counts of the
// outcomes and the station's notices below. The station itself
// (StationEngine) runs on a thread of its own; its calls are queued to the
// window's (GUI) thread.
//
// Closing the window is a stop request: no new controller is taken, and the
// window stays, saying that it is finishing, until every run in progress has
// ended (a run is never cut inside an image); it then closes by itself.
// Closing it again while it finishes is refused.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <string>
#include <vector>

#include "frontends/station/station.h"
#include "frontends/station/station_view.h"
#include "frontends/stop_requests.h"

class QCloseEvent;
class QEventLoop;
class QLabel;
class QTableWidget;

namespace fwu {

class StationWindow : public QWidget, public IStationView {
  public:
    // The columns of the rows.
    enum Column { kPort, kController, kBefore, kProgress, kOutcome, kTime, kColumns };

    explicit StationWindow(QWidget* parent = nullptr);
    ~StationWindow() override;

    // Shows the window, runs `engine` (whose view is this window, or passes
    // its calls on to it) on a thread of its own, and returns when the window
    // has closed and the engine has ended: the station's exit status.
    int Exec(StationEngine& engine);

    // Whether a close was asked for and the window waits for the runs.
    bool Stopping() const { return stopping_; }

    // The texts shown, one line each: "package: ...", one "row: ..." per
    // row (its cells joined by " | "), "summary: ...", "status: ...".
    std::string Dump() const;

    // IStationView: any thread; each call is queued to the window's thread.
    void Started(const std::string& product, const std::string& packageVersion) override;
    void RowChanged(const StationRow& row) override;
    void RowRemoved(const std::string& port) override;
    void Notice(const std::string& text) override;
    void Finished(const StationCounts& counts, int status) override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    struct Shown {
        std::string port;
        bool running = false;
        double seconds = 0;   // as the station last said
        QElapsedTimer since;  // since it said so
    };

    void ShowRow(const StationRow& row);
    void RemoveRow(const std::string& port);
    void ShowFinished(const StationCounts& counts);
    void Tick();
    int RowOf(const std::string& port) const;

    QLabel* product_ = nullptr;
    QLabel* packageVersion_ = nullptr;
    QTableWidget* table_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* status_ = nullptr;
    std::vector<Shown> shown_;  // in the order of the table's rows
    StationCounts counts_;      // the outcomes shown so far

    StationEngine* engine_ = nullptr;
    QEventLoop* loop_ = nullptr;
    bool stopping_ = false;
    bool finished_ = false;
};

// Runs the station in its window on an existing QApplication; returns the
// station's exit status once the window has closed. A stop request from
// `stops` (may be null) closes it as the close box does.
int RunQtStation(const StationSettings& settings, IHotplugSource* hotplug,
                 StopRequests* stops = nullptr);

}  // namespace fwu
