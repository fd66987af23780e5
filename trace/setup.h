// What the front ends install at start-up for --record and --replay: the
// recording decorators around the chosen HID backend, hot-plug source and
// rumble service, or a replayed controller in their place (or both: a replay
// recorded again).
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "platform/hid.h"
#include "trace/recorder.h"
#include "trace/replay.h"

namespace fwu::trace {

struct TraceRequest {
    std::string recordPath;  // --record FILE
    std::string replayPath;  // --replay FILE
    bool fast = false;       // replay at once instead of at the recorded times
    std::function<void(const std::string&)> onDifference;
    // This run's choices: written into a recorded trace, and a replayed trace
    // that names other ones is refused.
    RunChoices choices;
};

class TraceSetup {
  public:
    TraceSetup() = default;
    ~TraceSetup();  // puts the backend and rumble service it replaced back
    TraceSetup(const TraceSetup&) = delete;
    TraceSetup& operator=(const TraceSetup&) = delete;

    // Installs what `request` asks for over the current HID backend and
    // rumble service and `hotplug`; "" on success, else what went wrong (a
    // trace that cannot be read, is damaged or was recorded with other
    // choices; a trace that cannot be written).
    std::string Install(const TraceRequest& request, IHotplugSource* hotplug);

    // The hot-plug source the front end should use.
    IHotplugSource* Hotplug() const { return hotplug_; }
    // The replayed controller, null without --replay.
    ReplaySession* Replay() const { return replay_.get(); }

  private:
    IHidBackend* previousHid_ = nullptr;
    IRumble* previousRumble_ = nullptr;
    bool installed_ = false;
    IHotplugSource* hotplug_ = nullptr;
    std::unique_ptr<ReplaySession> replay_;
    std::unique_ptr<TraceWriter> writer_;
    std::unique_ptr<RecordingBackend> hid_;
    std::unique_ptr<RecordingHotplug> recordedHotplug_;
    std::unique_ptr<RecordingRumble> rumble_;
};

// --trace-summary FILE: prints the timeline to `out`, or what is wrong with
// the file to `err`. Returns the exit status (0 or 1).
int PrintTraceSummary(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace fwu::trace
