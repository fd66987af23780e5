// One hot-plug source, many listeners: every arrival and removal the source
// reports is handed to each listener that is started, so that several runs
// (one per port) and whoever watches for new controllers all hear it. The
// source itself is started with the first listener and stopped with the last.
#pragma once

#include <memory>

#include "platform/hid.h"

namespace fwu {

class HotplugHub {
  public:
    // `source` must outlive the hub and every listener.
    explicit HotplugHub(IHotplugSource& source);
    ~HotplugHub();  // stops the source if listeners are still started
    HotplugHub(const HotplugHub&) = delete;
    HotplugHub& operator=(const HotplugHub&) = delete;

    // A new listener, itself a hot-plug source: Start subscribes its
    // callback, Stop unsubscribes it and waits for a delivery to it that is
    // in progress on another thread. May outlive the hub (it then hears
    // nothing more).
    std::unique_ptr<IHotplugSource> Listener();

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace fwu
