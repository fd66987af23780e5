#include "base/pause.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace fwu {
namespace {

class BuiltinSleeper : public ISleeper {
  public:
    void Sleep(std::uint32_t ms) override { SliceSleep(ms); }
};

BuiltinSleeper g_builtin;
std::atomic<ISleeper*> g_sleeper{nullptr};
thread_local const std::atomic<bool>* t_cancel = nullptr;
// The flag of an UninterruptedScope: never set.
const std::atomic<bool> g_never{false};

}  // namespace

void SetSleeper(ISleeper* sleeper) {
    g_sleeper.store(sleeper);
}

ISleeper* CurrentSleeper() {
    ISleeper* s = g_sleeper.load();
    return s ? s : &g_builtin;
}

void PauseMs(std::uint32_t ms) {
    CurrentSleeper()->Sleep(ms);
}

void SliceSleep(std::uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!CancelRequested()) {
        const auto now = Clock::now();
        if (now >= end) return;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - now, std::chrono::milliseconds(10)));
    }
}

CancelScope::CancelScope(const std::atomic<bool>& flag) : previous_(t_cancel) {
    t_cancel = &flag;
}
CancelScope::~CancelScope() {
    t_cancel = previous_;
}

UninterruptedScope::UninterruptedScope() : scope_(g_never) {}

bool CancelRequested() {
    return t_cancel != nullptr && t_cancel->load();
}

}  // namespace fwu
