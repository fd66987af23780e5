// Replaying: a controller that answers as a recorded trace says, behind the
// same HID, hot-plug and rumble interfaces as a real one.
//
// Every request of the tool is compared with the next recorded request. The
// first difference stops the replay: the handler is told which operation
// differed, what was recorded and what was asked, and from then on every
// request fails and no event is delivered, so a run can never end in success
// after it. Arrivals and removals are delivered in their recorded place, from
// the replay's own thread. With `fast` off every answer and event waits until
// its recorded time since the start; that wait ends early on a stop request
// (the asking thread's cancellation, or Cancel()).
//
// A run that asks less than the trace holds is no success either: once the
// run is over, Unfinished() says where it stopped short.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/hid.h"
#include "trace/format.h"

namespace fwu::trace {

// The error number of a request refused by the replay (the controller is
// gone): ERROR_DEVICE_NOT_CONNECTED.
inline constexpr std::uint32_t kReplayError = 0x48F;

struct ReplayOptions {
    bool fast = false;
    // Called once, on the thread whose request differed.
    std::function<void(const std::string& message)> onDifference;
};

class ReplaySession : public IHidBackend, public IHotplugSource, public IRumble {
  public:
    ReplaySession(Trace trace, ReplayOptions options);
    ~ReplaySession() override;
    ReplaySession(const ReplaySession&) = delete;
    ReplaySession& operator=(const ReplaySession&) = delete;

    std::vector<std::string> EnumeratePaths() override;
    std::unique_ptr<IHidDevice> Open(const std::string& path) override;
    // The location the trace recorded for `path` (on any of its enumerate,
    // open, arrival or removal lines); "" when it recorded none. A query,
    // not a request: it is answered at any time and never compared.
    std::string Location(const std::string& path) override;

    bool Start(HotplugCallback callback) override;
    void Stop() override;

    bool IsConnected(unsigned userIndex) override;
    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override;
    // As recorded: a trace with rumble-device operations was made where the
    // platform links a HID interface to its game controller; in any other
    // the answer is kNoLink.
    int UserIndexFor(const std::string& devicePath) override;

    // The first difference, empty while the run follows the trace.
    std::string Difference() const;

    // Asked once the run is over: empty when the run asked for every request
    // of the tool in the trace, else "the run ended at operation N of M: the
    // trace goes on with …". Arrivals and removals after the last request do
    // not count, nor does a request recorded as failing on a controller that
    // was gone by then (the tool may rightly leave it out).
    std::string Unfinished() const;

    // A stop request from any thread: every wait of the replay ends at once,
    // and every request fails from now on.
    void Cancel();

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace fwu::trace
