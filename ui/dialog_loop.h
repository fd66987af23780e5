// The dialog's thread for the console front end and the tests: a queue of
// events run on the thread that calls Run/RunUntil, timer 1, and the
// synchronous hand-off of the worker's messages.
//
// Post(fn) queues fn from any thread. Send(fn) from another thread queues fn
// and blocks until it has run on the loop; when the loop is stopping (or has
// stopped) Send returns at once without running fn, so a worker that reports
// to the dialog during shut-down never deadlocks. Send from the loop's own
// thread runs fn directly.
//
// Timers run either in real time or in virtual time. In virtual time a tick
// never waits: when the queue is idle and a timer is active, the earliest tick
// fires at once and the virtual clock jumps to it, so the dialog's 6.4 s
// time-out runs in milliseconds. When no timer is active the loop waits for
// events, bounded in real time by the RunUntil limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "upgrade/context.h"

namespace fwu {

class DialogLoop {
  public:
    enum class Clock { Real, Virtual };
    using TickHandler = std::function<void(unsigned id)>;

    explicit DialogLoop(Clock clock = Clock::Real);
    ~DialogLoop();
    DialogLoop(const DialogLoop&) = delete;
    DialogLoop& operator=(const DialogLoop&) = delete;

    // Queue fn to run on the loop's thread. Ignored once the loop has stopped.
    void Post(std::function<void()> fn);

    // Run fn on the loop's thread and wait for it. Returns false (fn not run)
    // when the loop is stopping.
    bool Send(std::function<void()> fn);

    // Send for a value: `fallback` when the loop is stopping.
    template <class R, class F>
    R SendFor(F&& fn, R fallback) {
        R result = fallback;
        if (!Send([&] { result = fn(); })) return fallback;
        return result;
    }

    // Run events and timer ticks until Quit().
    void Run();

    // Run events and timer ticks until `done()` is true (checked after every
    // event), Quit(), or `limit` of real time has passed. Returns done().
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Run whatever is queued now (and, in virtual time, nothing else).
    void RunPending();

    // Stop Run/RunUntil; from then on Send returns false at once and Post is
    // ignored. Safe from any thread.
    void Quit();
    bool Stopping() const;

    // Start (or restart) timer `id` with `periodMs`; each tick calls onTick on
    // the loop's thread. Only from the loop's thread.
    void SetTimer(unsigned id, unsigned periodMs, TickHandler onTick);
    void KillTimer(unsigned id);
    bool TimerActive(unsigned id) const;

    // Virtual time only: before a tick on an idle queue, wait up to `grace`
    // of real time for an event from another thread (0 by default).
    void SetIdleGrace(std::chrono::milliseconds grace);

    // Milliseconds of loop time: real time since construction, or the virtual
    // clock.
    std::uint64_t NowMs() const;

    bool IsLoopThread() const;

  private:
    struct Timer {
        unsigned periodMs = 0;
        std::uint64_t dueMs = 0;
        TickHandler onTick;
    };

    struct SendState;

    // One step of the loop: an event, a tick, or a bounded wait. False when
    // the loop is stopping or `limit` has passed.
    bool Step(std::chrono::steady_clock::time_point limit);
    std::uint64_t NowLocked() const;

    const Clock clock_;
    const std::chrono::steady_clock::time_point start_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::map<unsigned, Timer> timers_;
    std::uint64_t virtualNow_ = 0;
    bool stopping_ = false;
    std::thread::id loopThread_;
    std::chrono::milliseconds idleGrace_{0};
};

// The dialog's side of the worker's messages for a DialogLoop: each message is
// handed to `handler` on the loop's thread and the worker waits for it. While
// the loop is stopping the message is dropped and 0 returned.
class LoopUpgradeSink : public IUpgradeSink {
  public:
    using Handler = std::function<std::intptr_t(unsigned, std::uintptr_t, std::intptr_t)>;
    LoopUpgradeSink(DialogLoop& loop, Handler handler)
        : loop_(loop), handler_(std::move(handler)) {}

    std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                     std::intptr_t lParam) override;

  private:
    DialogLoop& loop_;
    Handler handler_;
};

}  // namespace fwu
