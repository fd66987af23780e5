// Requests from outside to stop the program: Ctrl+C, SIGTERM, a closed
// console. Termination signals must never end the process half-way through
// something that leaves a controller unusable (the control-pipe request that
// takes the HID driver off an interface and gives it back), so the program
// takes them as requests: one thread of the source receives them and hands
// each one to a callback, which asks the front end to stop. A program that
// runs unattended (a service bench) uses the same source.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fwu {

struct StopRequest {
    int count = 1;     // 1 for the first request of the process, then 2, 3, ...
    std::string what;  // what asked: "SIGTERM", "SIGINT", "SIGHUP", "Ctrl+C", ...
};
using StopRequestHandler = std::function<void(const StopRequest&)>;

class IStopSignalSource {
  public:
    virtual ~IStopSignalSource() = default;
    // Hands every request to `handler`, one at a time, on a thread of the
    // source, until Stop(); false when the requests cannot be received.
    virtual bool Start(StopRequestHandler handler) = 0;
    // Waits for a handler call in progress; no call follows.
    virtual void Stop() = 0;
};

// A stretch of code that must run to its end once begun, whatever the
// process is asked: EndProcessNow waits until every such window that has
// begun has closed. Cheap, and windows on several threads may overlap.
class CriticalWindow {
  public:
    CriticalWindow();
    ~CriticalWindow();
    CriticalWindow(const CriticalWindow&) = delete;
    CriticalWindow& operator=(const CriticalWindow&) = delete;
};

// Ends the process with `status` at once, without running destructors, as
// soon as no critical window is open; none opens after this is called.
[[noreturn]] void EndProcessNow(int status);

}  // namespace fwu
