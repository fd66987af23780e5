#include "ui/dialog_loop.h"

#include <memory>

namespace fwu {

using SteadyClock = std::chrono::steady_clock;

// Shared between a Send caller and the queued call, so that neither outlives
// what the other still uses.
struct DialogLoop::SendState {
    bool started = false;
    bool done = false;
};

DialogLoop::DialogLoop(Clock clock)
    : clock_(clock), start_(SteadyClock::now()), loopThread_(std::this_thread::get_id()) {}

DialogLoop::~DialogLoop() {
    Quit();
}

void DialogLoop::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        queue_.push_back(std::move(fn));
    }
    wake_.notify_all();
}

bool DialogLoop::Send(std::function<void()> fn) {
    if (IsLoopThread()) {
        if (Stopping()) return false;
        fn();
        return true;
    }
    auto state = std::make_shared<SendState>();
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back([this, state, &fn] {
        {
            // Once the loop stops, the sender may already have returned.
            std::lock_guard<std::mutex> inner(mutex_);
            if (stopping_) return;
            state->started = true;
        }
        fn();
        {
            std::lock_guard<std::mutex> inner(mutex_);
            state->done = true;
        }
        wake_.notify_all();
    });
    wake_.notify_all();
    // A call that has started runs to its end even when the loop stops
    // meanwhile: it may use `fn`, which lives in this frame.
    wake_.wait(lock, [&] { return state->done || (stopping_ && !state->started); });
    return state->done;
}

void DialogLoop::Run() {
    while (Step(SteadyClock::time_point::max())) {
    }
}

bool DialogLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done()) {
        if (!Step(deadline)) break;
    }
    return done();
}

void DialogLoop::RunPending() {
    std::size_t n;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loopThread_ = std::this_thread::get_id();
        n = queue_.size();
    }
    for (; n > 0; --n) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_ || queue_.empty()) return;
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        fn();
    }
}

bool DialogLoop::Step(SteadyClock::time_point limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    loopThread_ = std::this_thread::get_id();
    if (stopping_) return false;

    if (!queue_.empty()) {
        std::function<void()> fn = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        fn();
        return true;
    }

    if (timers_.empty()) {
        auto wakeUp = [&] { return stopping_ || !queue_.empty() || !timers_.empty(); };
        if (limit == SteadyClock::time_point::max()) {
            wake_.wait(lock, wakeUp);
            return !stopping_;
        }
        if (SteadyClock::now() >= limit) return false;
        wake_.wait_until(lock, limit, wakeUp);
        return !stopping_ && (!queue_.empty() || !timers_.empty() || SteadyClock::now() < limit);
    }

    // The earliest tick (the lower id on a tie).
    auto next = timers_.begin();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.dueMs < next->second.dueMs) next = it;
    }

    if (clock_ == Clock::Virtual) {
        if (idleGrace_.count() > 0) {
            // The wait unlocks: the timer may be killed meanwhile, which would
            // leave `next` dangling, so it is looked up again by its id.
            const unsigned nextId = next->first;
            const auto until = std::min(limit, SteadyClock::now() + idleGrace_);
            if (wake_.wait_until(lock, until, [&] { return stopping_ || !queue_.empty(); })) {
                return !stopping_;
            }
            next = timers_.find(nextId);
            if (next == timers_.end()) return true;
        }
        if (next->second.dueMs > virtualNow_) virtualNow_ = next->second.dueMs;
    } else {
        const std::uint64_t now = NowLocked();
        if (next->second.dueMs > now) {
            const auto due = start_ + std::chrono::milliseconds(next->second.dueMs);
            if (SteadyClock::now() >= limit) return false;
            wake_.wait_until(lock, std::min(due, limit),
                             [&] { return stopping_ || !queue_.empty(); });
            return !stopping_ && SteadyClock::now() < limit + std::chrono::milliseconds(1);
        }
    }

    const unsigned id = next->first;
    Timer& timer = next->second;
    const std::uint64_t now = NowLocked();
    timer.dueMs += timer.periodMs;
    if (timer.dueMs <= now) timer.dueMs = now + timer.periodMs;  // no burst after a stall
    TickHandler onTick = timer.onTick;
    lock.unlock();
    if (onTick) onTick(id);
    return true;
}

void DialogLoop::Quit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
}

bool DialogLoop::Stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void DialogLoop::SetTimer(unsigned id, unsigned periodMs, TickHandler onTick) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const unsigned period = periodMs == 0 ? 1 : periodMs;
        timers_[id] = Timer{period, NowLocked() + period, std::move(onTick)};
    }
    wake_.notify_all();
}

void DialogLoop::KillTimer(unsigned id) {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.erase(id);
}

bool DialogLoop::TimerActive(unsigned id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.count(id) != 0;
}

void DialogLoop::SetIdleGrace(std::chrono::milliseconds grace) {
    std::lock_guard<std::mutex> lock(mutex_);
    idleGrace_ = grace;
}

std::uint64_t DialogLoop::NowMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return NowLocked();
}

std::uint64_t DialogLoop::NowLocked() const {
    if (clock_ == Clock::Virtual) return virtualNow_;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_).count());
}

bool DialogLoop::IsLoopThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loopThread_ == std::this_thread::get_id();
}

std::intptr_t LoopUpgradeSink::SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                                  std::intptr_t lParam) {
    return loop_.SendFor([&] { return handler_(msg, wParam, lParam); }, std::intptr_t{0});
}

}  // namespace fwu
