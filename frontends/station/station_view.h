// What a service bench sees of a station (--station): one row per USB port
// with the controller plugged in there and how its run goes, the station's
// own notices, and at the end the counts of the outcomes. The console prints
// it (station_text.h), --json writes it as JSON lines (station_json.h), a
// window can show it. Standard C++ only, so that any front end can
// implement it.
#pragma once

#include <string>

namespace fwu {

class ConsoleEvents;

// How a controller's run ended, from the exit status of its run (the same
// statuses as --update).
enum class StationOutcome {
    Running,      // not ended yet
    Updated,      // 0: "Update OK", and the controller came back with the package's firmware
    Current,      // 2: its firmware is not older than the package's; left alone
    Failed,       // 1: an error box, no switch to upgrade mode, or the run did not finish
    Unconfirmed,  // 4: "Update OK", but the new firmware was not confirmed within --wait
    Skipped,      // 3 (or any other): not updated and not checked, e.g. gone before Update
};

StationOutcome OutcomeOfStatus(int status);
// "updated", "already current", "failed", "unconfirmed", "skipped" ("running").
const char* OutcomeText(StationOutcome outcome);

struct StationRow {
    // The USB port (IHidBackend::Location); "" where the platform gives none.
    std::string port;
    std::string controller;     // the product name, once the controller is shown
    std::string versionBefore;  // its firmware version when it was shown
    std::string versionAfter;   // the version it came back with after "Update OK"
    int percent = -1;           // the download's progress, -1 before it starts
    StationOutcome outcome = StationOutcome::Running;
    int status = -1;     // the run's exit status once it ended
    std::string detail;  // why it ended without an update (the box's or the console's text)
    double seconds = 0;  // how long the run took so far (the whole run once ended)
};

// The row's outcome in words with what it ended with: "updated to V1.40.20",
// "failed: <why>", "already current", ...
std::string OutcomeDescription(const StationRow& row);

// How many runs ended each way.
struct StationCounts {
    int updated = 0;
    int current = 0;
    int failed = 0;
    int unconfirmed = 0;
    int skipped = 0;

    void Add(StationOutcome outcome);
    int Total() const { return updated + current + failed + unconfirmed + skipped; }
    bool operator==(const StationCounts&) const = default;
};

// The station's exit status: 0 when every controller that was started ended
// updated (confirmed) or current; otherwise 1 if any run failed, else 4 if
// any was unconfirmed, else 3 (also when none was started).
int StationExitStatus(const StationCounts& counts);

// "12 updated, 3 already current, 1 failed", followed by ", 2 unconfirmed"
// and ", 1 skipped" when there are any.
std::string SummaryText(const StationCounts& counts);

// Every call comes on the thread that runs StationEngine::Run, one at a
// time; a window hands them on to its own thread.
class IStationView {
  public:
    virtual ~IStationView() = default;

    // First, once: the product and the package's firmware version.
    virtual void Started(const std::string& product, const std::string& packageVersion) = 0;
    // A row appeared (a controller was plugged in at a port whose row is not
    // shown, or replaced one that kept an outcome) or changed.
    virtual void RowChanged(const StationRow& row) = 0;
    // The controller of a row with an outcome was unplugged: the row goes.
    virtual void RowRemoved(const std::string& port) = 0;
    // One whole line of a port's run as the console prints it ("Pressing
    // Update.", "[Update OK]", ...).
    virtual void PortLine(const std::string& /*port*/, const std::string& /*line*/) {}
    // Where every event of a port's run goes as well (--json); null for none.
    // Asked once per run, as it starts; the object must live until Finished.
    virtual ConsoleEvents* EventsOf(const std::string& /*port*/) { return nullptr; }
    // The station's own lines: why it waits, that it stops.
    virtual void Notice(const std::string& text) = 0;
    // Last: every run has ended; the counts and the exit status.
    virtual void Finished(const StationCounts& counts, int status) = 0;
};

}  // namespace fwu
