#include "frontends/stop_requests.h"

namespace fwu {

void StopRequests::Deliver(const StopRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.count == 1 && graceful_) {
        graceful_(request);
    } else if (forced_) {
        forced_(request);
    }
}

void StopRequests::Route(StopRequestHandler graceful) {
    std::lock_guard<std::mutex> lock(mutex_);
    graceful_ = std::move(graceful);
}

void StopRequests::Unroute() {
    std::lock_guard<std::mutex> lock(mutex_);
    graceful_ = nullptr;
}

}  // namespace fwu
