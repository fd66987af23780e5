// Every pause of the tool goes through one injectable sleeper, so that tests can
// run whole updates in milliseconds while the product keeps its real pauses.
#pragma once

#include <atomic>
#include <cstdint>

namespace fwu {

class ISleeper {
  public:
    virtual ~ISleeper() = default;
    // Pause the calling thread for about `ms` milliseconds. A real sleeper
    // returns early when CancelRequested() becomes true on the calling thread.
    virtual void Sleep(std::uint32_t ms) = 0;
};

// The sleeper used by PauseMs. nullptr restores the built-in one (a plain
// sleep in short slices that honours cancellation).
void SetSleeper(ISleeper* sleeper);
ISleeper* CurrentSleeper();

// Pause through the current sleeper.
void PauseMs(std::uint32_t ms);

// Sleeps in slices of at most 10 ms, returning early on cancellation.
void SliceSleep(std::uint32_t ms);

// Per-thread cancellation: a worker installs its stop flag for the lifetime of
// a CancelScope; blocking reads and pauses on that thread then end early.
class CancelScope {
  public:
    explicit CancelScope(const std::atomic<bool>& flag);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    const std::atomic<bool>* previous_;
};
bool CancelRequested();

// Holds cancellation off on the calling thread for its lifetime, for an
// exchange that must complete once begun (the command that tells a controller
// its update is over): reads and pauses inside it run to their own bounds.
class UninterruptedScope {
  public:
    UninterruptedScope();
    UninterruptedScope(const UninterruptedScope&) = delete;
    UninterruptedScope& operator=(const UninterruptedScope&) = delete;

  private:
    CancelScope scope_;
};

}  // namespace fwu
