// The station (--station): updates every controller attached and every one
// plugged in later, each in a run of its own at its own USB port, all at the
// same time. Each run is the console's --update run (same messages, statuses
// and confirmation of the new version) on a thread of its own with its own
// dialog, worker and slot tables (RunScope). A controller that finished is
// never taken again before it is unplugged. A stop request takes no new
// controllers and waits for every run in progress; --count ends the station
// after that many outcomes.
//
// Where the platform gives no USB port (IHidBackend::Location ""), the
// controllers cannot be told apart once they re-enumerate in upgrade mode:
// the station then updates one only while it is the only controller of the
// package's identities attached, and says why it waits when there are more.
#pragma once

#include <memory>
#include <string>

#include "frontends/station/station_view.h"
#include "platform/hid.h"

namespace fwu {

struct StationSettings {
    bool force = false;         // hold Shift for each press (--force)
    int waitSeconds = 10;       // each run's --wait
    unsigned count = 0;         // end after this many outcomes; 0: when stopped
    std::string appName;        // caption of boxes without one
    bool virtualClock = false;  // each run's timers in virtual time (tests)
};

class StationEngine {
  public:
    // `hotplug` (may be null: only the controllers attached at the start are
    // seen) and `view` must outlive the engine. Uses the process-wide HID
    // backend, system services and sleeper.
    StationEngine(StationSettings settings, IHotplugSource* hotplug, IStationView& view);
    ~StationEngine();
    StationEngine(const StationEngine&) = delete;
    StationEngine& operator=(const StationEngine&) = delete;

    // Runs the station on the calling thread until it is stopped (or has
    // --count outcomes) and every run has ended; returns the exit status
    // (StationExitStatus, or 1 when the package's records cannot be loaded).
    int Run();

    // From any thread, also before Run: take no new controller, let every run
    // in progress finish, then end.
    void RequestStop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace fwu
