// Where the program's stop requests (platform/stop_signal.h) go. The front
// end that runs takes the first request and stops gracefully: the console
// ends its run (status 1), the window closes as if its close box were
// pressed. A second request, or a request while no front end takes them
// (start-up, shut-down), ends the process at once with status 1 through
// `forced`, which the program sets up: it never cuts a critical window short.
#pragma once

#include <functional>
#include <mutex>

#include "platform/stop_signal.h"

namespace fwu {

class StopRequests {
  public:
    explicit StopRequests(StopRequestHandler forced) : forced_(std::move(forced)) {}

    // From the stop source's thread.
    void Deliver(const StopRequest& request);

    // The running front end takes first requests through `graceful` (called
    // on the source's thread: it must only hand the request to the front
    // end's own thread) until Unroute, which waits for a call in progress.
    void Route(StopRequestHandler graceful);
    void Unroute();

  private:
    std::mutex mutex_;
    StopRequestHandler graceful_;
    StopRequestHandler forced_;
};

// Routes a front end's requests for as long as it lives.
class StopRoute {
  public:
    StopRoute(StopRequests* requests, StopRequestHandler graceful) : requests_(requests) {
        if (requests_ != nullptr) requests_->Route(std::move(graceful));
    }
    ~StopRoute() {
        if (requests_ != nullptr) requests_->Unroute();
    }
    StopRoute(const StopRoute&) = delete;
    StopRoute& operator=(const StopRoute&) = delete;

  private:
    StopRequests* requests_;
};

}  // namespace fwu
