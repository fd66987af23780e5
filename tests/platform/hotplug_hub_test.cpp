// One hot-plug source heard by several listeners.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/hotplug_hub.h"

namespace fwu {
namespace {

// A source whose events the test raises itself, on any thread.
class ManualSource : public IHotplugSource {
  public:
    bool Start(HotplugCallback callback) override {
        ++starts;
        callback_ = std::move(callback);
        return true;
    }
    void Stop() override {
        ++stops;
        callback_ = nullptr;
    }
    void Raise(HotplugEvent event, const std::string& path) {
        if (callback_) callback_(event, path);
    }
    int starts = 0;
    int stops = 0;

  private:
    HotplugCallback callback_;
};

TEST(HotplugHub, EveryStartedListenerHearsEachEventAndTheSourceRunsWhileAnyListens) {
    ManualSource source;
    HotplugHub hub(source);
    auto a = hub.Listener();
    auto b = hub.Listener();
    std::vector<std::string> heardA;
    std::vector<std::string> heardB;
    ASSERT_TRUE(a->Start([&](HotplugEvent, const std::string& p) { heardA.push_back(p); }));
    ASSERT_TRUE(b->Start([&](HotplugEvent e, const std::string& p) {
        heardB.push_back((e == HotplugEvent::Arrival ? "+" : "-") + p);
    }));
    EXPECT_FALSE(a->Start([](HotplugEvent, const std::string&) {}));  // already started
    EXPECT_EQ(source.starts, 1);

    source.Raise(HotplugEvent::Arrival, "p1");
    a->Stop();
    EXPECT_EQ(source.stops, 0);
    source.Raise(HotplugEvent::Removal, "p1");
    b->Stop();
    EXPECT_EQ(source.stops, 1);
    source.Raise(HotplugEvent::Arrival, "p2");  // nobody listens

    EXPECT_EQ(heardA, (std::vector<std::string>{"p1"}));
    EXPECT_EQ(heardB, (std::vector<std::string>{"+p1", "-p1"}));
}

TEST(HotplugHub, StopInsideTheCallbackAndStopWaitingForAnotherThreadsDelivery) {
    ManualSource source;
    HotplugHub hub(source);
    auto self = hub.Listener();
    auto slow = hub.Listener();
    int selfHeard = 0;
    ASSERT_TRUE(self->Start([&](HotplugEvent, const std::string&) {
        ++selfHeard;
        self->Stop();  // from inside its own delivery: no deadlock
    }));
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<bool> returned{false};
    ASSERT_TRUE(slow->Start([&](HotplugEvent, const std::string&) {
        inside = true;
        while (!release) std::this_thread::yield();
        returned = true;
    }));
    std::thread raiser([&] { source.Raise(HotplugEvent::Arrival, "p"); });
    while (!inside) std::this_thread::yield();
    std::thread stopper([&] {
        slow->Stop();
        // Stop came back only after the delivery in progress had ended.
        EXPECT_TRUE(returned.load());
    });
    release = true;
    stopper.join();
    raiser.join();
    EXPECT_EQ(selfHeard, 1);
    EXPECT_EQ(source.stops, 1);
}

}  // namespace
}  // namespace fwu
