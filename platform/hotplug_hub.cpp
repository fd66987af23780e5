#include "platform/hotplug_hub.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace fwu {

struct HotplugHub::State {
    IHotplugSource* source = nullptr;
    // Serialises starting and stopping the source; never held while an
    // event is delivered or a listener waits for one.
    std::mutex startStop;
    std::mutex mutex;
    std::condition_variable idle;
    struct Entry {
        HotplugCallback callback;
        std::vector<std::thread::id> delivering;  // threads inside the callback
    };
    std::map<int, Entry> listeners;  // started listeners by number
    int next = 1;
    bool sourceStarted = false;

    void Deliver(HotplugEvent event, const std::string& path) {
        std::vector<int> targets;
        {
            std::lock_guard lock(mutex);
            for (const auto& entry : listeners) targets.push_back(entry.first);
        }
        const std::thread::id self = std::this_thread::get_id();
        for (int id : targets) {
            HotplugCallback callback;
            {
                std::lock_guard lock(mutex);
                const auto it = listeners.find(id);
                if (it == listeners.end()) continue;  // stopped meanwhile
                it->second.delivering.push_back(self);
                callback = it->second.callback;
            }
            callback(event, path);
            {
                std::lock_guard lock(mutex);
                const auto it = listeners.find(id);
                if (it != listeners.end()) {
                    auto& threads = it->second.delivering;
                    threads.erase(std::find(threads.begin(), threads.end(), self));
                }
            }
            idle.notify_all();
        }
    }
};

namespace {

class HubListener final : public IHotplugSource {
  public:
    explicit HubListener(std::weak_ptr<HotplugHub::State> hub) : hub_(std::move(hub)) {}
    ~HubListener() override { Stop(); }

    bool Start(HotplugCallback callback) override {
        const auto hub = hub_.lock();
        if (!hub || !callback) return false;
        std::lock_guard serial(hub->startStop);
        if (id_ != 0) return false;
        int id = 0;
        {
            std::lock_guard lock(hub->mutex);
            id = hub->next++;
            hub->listeners[id].callback = std::move(callback);
        }
        if (!hub->sourceStarted) {
            // The source holds the hub only weakly: once the hub is gone its
            // events reach nobody.
            std::weak_ptr<HotplugHub::State> weak = hub;
            const bool started =
                hub->source->Start([weak](HotplugEvent event, const std::string& path) {
                    if (const auto state = weak.lock()) state->Deliver(event, path);
                });
            if (!started) {
                std::lock_guard lock(hub->mutex);
                hub->listeners.erase(id);
                return false;
            }
            hub->sourceStarted = true;
        }
        id_ = id;
        return true;
    }

    void Stop() override {
        const auto hub = hub_.lock();
        if (!hub || id_ == 0) return;
        const std::thread::id self = std::this_thread::get_id();
        {
            std::unique_lock lock(hub->mutex);
            // A delivery on another thread is waited for; one on this thread
            // (Stop from inside the callback) cannot be.
            hub->idle.wait(lock, [&] {
                const auto it = hub->listeners.find(id_);
                if (it == hub->listeners.end()) return true;
                const auto& threads = it->second.delivering;
                return std::all_of(threads.begin(), threads.end(),
                                   [&](std::thread::id t) { return t == self; });
            });
            hub->listeners.erase(id_);
        }
        id_ = 0;
        // The last listener gone: the source stops, unless another one
        // started meanwhile.
        std::lock_guard serial(hub->startStop);
        {
            std::lock_guard lock(hub->mutex);
            if (!hub->listeners.empty() || !hub->sourceStarted) return;
        }
        hub->sourceStarted = false;
        hub->source->Stop();
    }

  private:
    std::weak_ptr<HotplugHub::State> hub_;
    int id_ = 0;
};

}  // namespace

HotplugHub::HotplugHub(IHotplugSource& source) : state_(std::make_shared<State>()) {
    state_->source = &source;
}

HotplugHub::~HotplugHub() {
    std::lock_guard serial(state_->startStop);
    {
        std::lock_guard lock(state_->mutex);
        state_->listeners.clear();
    }
    if (state_->sourceStarted) {
        state_->sourceStarted = false;
        state_->source->Stop();
    }
}

std::unique_ptr<IHotplugSource> HotplugHub::Listener() {
    return std::make_unique<HubListener>(state_);
}

}  // namespace fwu
