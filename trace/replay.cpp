#include "trace/replay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/pause.h"

namespace fwu::trace {
namespace {

using Clock = std::chrono::steady_clock;

// How long a request that is not the next recorded one waits for another
// thread (the dialog's or the worker) to take its turn before it counts as a
// difference.
constexpr auto kTurnWait = std::chrono::milliseconds(2500);
constexpr auto kPoll = std::chrono::milliseconds(20);
// How long an event that came inside a call waits for that call.
constexpr auto kCallerGrace = std::chrono::milliseconds(300);
// The longest slice of a pacing wait: a stop request ends the wait within it.
constexpr std::int64_t kPaceSliceMs = 50;

// True on a thread while it delivers an event to the tool.
thread_local bool deliveringHere = false;

}  // namespace

struct ReplaySession::State {
    std::vector<Op> ops;
    ReplayOptions options;
    bool linkedRumble = false;  // the trace holds rumble-device operations
    Clock::time_point start = Clock::now();

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::size_t cursor = 0;
    std::string difference;
    HotplugCallback callback;
    int delivering = 0;  // deliveries in progress
    bool stopping = false;
    std::atomic<bool> cancelled{false};
    std::map<std::string, std::string> locations;  // path -> its recorded location
    std::map<int, std::string> devicePaths;        // device number -> path it was opened on
    std::set<std::string> removedPaths;
    std::thread pump;

    Clock::time_point Due(const Op& op) const {
        return start + std::chrono::microseconds(options.fast ? 0 : op.t);
    }

    bool DeviceRemoved(int dev) const {
        const auto it = devicePaths.find(dev);
        return it != devicePaths.end() && removedPaths.count(it->second) != 0;
    }

    // True when the next recorded request on the device of `asked` is
    // `asked` itself.
    bool Upcoming(const Op& asked) const {
        for (std::size_t k = cursor; k < ops.size(); ++k) {
            if (ops[k].dev == asked.dev && !IsEvent(ops[k].kind) && ops[k].kind != OpKind::Open)
                return SameRequest(ops[k], asked);
        }
        return false;
    }

    // The recorded answer to `asked`, or nullopt when the request is refused
    // (after a difference, on a controller whose removal was replayed, or
    // after the end of the trace).
    std::optional<Op> Take(const Op& asked) {
        std::unique_lock lock(mutex);
        std::size_t seen = cursor;
        Clock::time_point progress = Clock::now();
        for (;;) {
            if (!difference.empty() || cancelled) return std::nullopt;
            const Op* next = cursor < ops.size() ? &ops[cursor] : nullptr;
            // The controller did this while answering the tool's next call:
            // it happens here, on the asking thread, as it did then.
            if (next != nullptr && IsEvent(next->kind) && next->during) {
                Deliver(lock);
                continue;
            }
            if (next != nullptr && !IsEvent(next->kind) && SameRequest(*next, asked)) {
                Op answer = *next;
                ++cursor;
                changed.notify_all();
                lock.unlock();
                Pace(answer);
                return answer;
            }
            // A controller that is gone fails whatever it is asked, as a real
            // one does, unless the trace holds that request further on (the
            // other thread has its turn first).
            if (asked.dev != 0 && DeviceRemoved(asked.dev) && !Upcoming(asked)) return std::nullopt;
            // Past the end of the trace: the recording stopped there (the
            // process ended), so what the controller would have answered is
            // unknown. Like a controller that is gone, it fails.
            if (next == nullptr) return std::nullopt;
            if (cursor != seen) {
                seen = cursor;
                progress = Clock::now();
            }
            const Clock::time_point deadline = std::max(progress, Due(*next)) + kTurnWait;
            if (Clock::now() < deadline) {
                changed.wait_for(lock, kPoll);
                continue;
            }
            // Nobody takes the next request. If it was asked of a controller
            // that is gone by now, the tool may rightly have left it out.
            if (!IsEvent(next->kind) && next->dev != 0 && next->dev != asked.dev &&
                DeviceRemoved(next->dev)) {
                ++cursor;
                changed.notify_all();
                continue;
            }
            difference = "the run differs from the trace at operation " +
                         std::to_string(cursor + 1) + ": recorded " + DescribeRequest(*next) +
                         ", asked " + DescribeRequest(asked);
            const std::string message = difference;
            changed.notify_all();
            lock.unlock();
            if (options.onDifference) options.onDifference(message);
            return std::nullopt;
        }
    }

    // Delivers the event at the cursor to the tool's callback (none: it is
    // dropped, as nobody listened). Called and returns with `lock` held.
    void Deliver(std::unique_lock<std::mutex>& lock) {
        const Op event = ops[cursor++];
        if (event.kind == OpKind::Removal) removedPaths.insert(event.path);
        if (event.kind == OpKind::Arrival) removedPaths.erase(event.path);
        changed.notify_all();
        if (!callback) return;
        HotplugCallback deliver = callback;
        ++delivering;
        deliveringHere = true;
        lock.unlock();
        deliver(event.kind == OpKind::Arrival ? HotplugEvent::Arrival : HotplugEvent::Removal,
                event.path);
        lock.lock();
        deliveringHere = false;
        --delivering;
        changed.notify_all();
    }

    // Answers when the recorded call completed, counted from the start:
    // pauses in slices through the sleeper, until the time has come (or the
    // sleeper has been asked for all of it, when it does not really sleep) or
    // a stop is requested.
    void Pace(const Op& op) const {
        if (options.fast) return;
        const Clock::time_point due = Due(op);
        const std::int64_t wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        for (std::int64_t slept = 0; slept < wait && Clock::now() < due;) {
            if (cancelled || CancelRequested()) return;
            const std::int64_t slice = std::min(kPaceSliceMs, wait - slept);
            PauseMs(static_cast<std::uint32_t>(slice));
            slept += slice;
        }
    }

    // Whether a request left in the trace may be missing from the run: it
    // was asked of a controller that was gone by then and the recording saw
    // it fail (or it cannot fail and answers nothing).
    bool Excused(const Op& op, const std::set<std::string>& removed) const {
        const auto it = devicePaths.find(op.dev);
        if (op.dev == 0 || it == devicePaths.end() || removed.count(it->second) == 0) return false;
        switch (op.kind) {
            case OpKind::Read:
                return op.status != ReadStatus::Ok;
            case OpKind::Drop:
            case OpKind::ReportId:
                return true;
            default:
                return !op.ok;
        }
    }

    // The replay's own thread: delivers arrivals and removals at their time.
    // One that came inside a call is left to that call, unless the call does
    // not come.
    void Pump() {
        std::unique_lock lock(mutex);
        std::size_t waitingAt = ops.size();
        Clock::time_point when;
        while (!stopping) {
            const bool pending = difference.empty() && !cancelled && callback &&
                                 cursor < ops.size() && IsEvent(ops[cursor].kind);
            if (!pending) {
                changed.wait(lock);
                continue;
            }
            const std::size_t at = cursor;
            if (at != waitingAt) {
                waitingAt = at;
                when = Due(ops[at]);
                if (ops[at].during) when = std::max(when, Clock::now() + kCallerGrace);
            }
            if (changed.wait_until(lock, when,
                                   [&] { return stopping || cancelled || cursor != at; }))
                continue;
            if (!callback || !difference.empty() || cancelled) continue;
            Deliver(lock);
        }
    }
};

namespace {

class ReplayDevice : public IHidDevice {
  public:
    ReplayDevice(std::shared_ptr<ReplaySession::State> state, int number)
        : state_(std::move(state)), number_(number) {}

    bool Write(const std::uint8_t* report, std::size_t length) override {
        Op asked = Ask(OpKind::Write);
        asked.data.assign(report, report + length);
        return Answer(state_->Take(asked));
    }

    ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) override {
        Op asked = Ask(OpKind::Read);
        asked.length = length;
        asked.timeout = timeoutMs;
        const std::optional<Op> op = state_->Take(asked);
        if (!op) {
            lastError_ = kReplayError;
            return ReadStatus::Failed;
        }
        if (op->status == ReadStatus::Ok) std::copy(op->data.begin(), op->data.end(), report);
        if (op->status == ReadStatus::Failed) lastError_ = op->error;
        return op->status;
    }

    std::uint8_t OutputReportId() override {
        const std::optional<Op> op = state_->Take(Ask(OpKind::ReportId));
        return op ? op->id : 0;
    }

    bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer, std::size_t length) override {
        Op asked = Ask(OpKind::String);
        asked.index = index;
        asked.length = length;
        const std::optional<Op> op = state_->Take(asked);
        if (op && op->ok) std::copy(op->data.begin(), op->data.end(), buffer);
        return Answer(op);
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        Op asked = Ask(OpKind::Output);
        asked.data.assign(report, report + length);
        return Answer(state_->Take(asked));
    }

    bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) override {
        const std::optional<Op> op = state_->Take(Ask(OpKind::Attributes));
        if (op && op->ok) {
            vid = op->vid;
            pid = op->pid;
        }
        return Answer(op);
    }

    void DropQueuedInput() override { state_->Take(Ask(OpKind::Drop)); }

    std::uint32_t LastError() const override { return lastError_; }

  private:
    Op Ask(OpKind kind) const {
        Op op;
        op.kind = kind;
        op.dev = number_;
        return op;
    }
    bool Answer(const std::optional<Op>& op) {
        if (!op) {
            lastError_ = kReplayError;
            return false;
        }
        if (!op->ok) lastError_ = op->error;
        return op->ok;
    }

    std::shared_ptr<ReplaySession::State> state_;
    int number_;
    std::atomic<std::uint32_t> lastError_{0};
};

}  // namespace

ReplaySession::ReplaySession(Trace trace, ReplayOptions options)
    : state_(std::make_shared<State>()) {
    state_->ops = std::move(trace.ops);
    state_->options = std::move(options);
    for (const Op& op : state_->ops) {
        if (!op.location.empty()) state_->locations[op.path] = op.location;
        for (std::size_t k = 0; k < op.locations.size() && k < op.paths.size(); ++k)
            if (!op.locations[k].empty()) state_->locations[op.paths[k]] = op.locations[k];
    }
    state_->linkedRumble = std::any_of(state_->ops.begin(), state_->ops.end(), [](const Op& op) {
        return op.kind == OpKind::RumbleDevice;
    });
    state_->pump = std::thread([state = state_.get()] { state->Pump(); });
}

ReplaySession::~ReplaySession() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->changed.notify_all();
    }
    state_->pump.join();
}

std::vector<std::string> ReplaySession::EnumeratePaths() {
    Op asked;
    asked.kind = OpKind::Enumerate;
    const std::optional<Op> op = state_->Take(asked);
    return op ? op->paths : std::vector<std::string>{};
}

std::unique_ptr<IHidDevice> ReplaySession::Open(const std::string& path) {
    Op asked;
    asked.kind = OpKind::Open;
    asked.path = path;
    const std::optional<Op> op = state_->Take(asked);
    if (!op || op->dev == 0) return nullptr;
    {
        std::lock_guard lock(state_->mutex);
        state_->devicePaths[op->dev] = path;
    }
    return std::make_unique<ReplayDevice>(state_, op->dev);
}

std::string ReplaySession::Location(const std::string& path) {
    // Written only by the constructor.
    const auto it = state_->locations.find(path);
    return it != state_->locations.end() ? it->second : std::string();
}

bool ReplaySession::Start(HotplugCallback callback) {
    std::lock_guard lock(state_->mutex);
    state_->callback = std::move(callback);
    state_->changed.notify_all();
    return true;
}

void ReplaySession::Stop() {
    std::unique_lock lock(state_->mutex);
    state_->callback = nullptr;
    // Wait for a delivery in progress, unless it is the caller's own.
    if (!deliveringHere) state_->changed.wait(lock, [&] { return state_->delivering == 0; });
}

bool ReplaySession::IsConnected(unsigned userIndex) {
    Op asked;
    asked.kind = OpKind::RumbleConnected;
    asked.user = userIndex;
    const std::optional<Op> op = state_->Take(asked);
    return op && op->connected;
}

bool ReplaySession::SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) {
    Op asked;
    asked.kind = OpKind::RumbleSet;
    asked.user = userIndex;
    asked.left = left;
    asked.right = right;
    const std::optional<Op> op = state_->Take(asked);
    return op && op->ok;
}

int ReplaySession::UserIndexFor(const std::string& devicePath) {
    if (!state_->linkedRumble) return kNoLink;
    Op asked;
    asked.kind = OpKind::RumbleDevice;
    asked.path = devicePath;
    const std::optional<Op> op = state_->Take(asked);
    return op && op->connected ? static_cast<int>(op->user) : kNone;
}

std::string ReplaySession::Difference() const {
    std::lock_guard lock(state_->mutex);
    return state_->difference;
}

std::string ReplaySession::Unfinished() const {
    std::lock_guard lock(state_->mutex);
    const State& s = *state_;
    std::set<std::string> removed = s.removedPaths;
    for (std::size_t k = s.cursor; k < s.ops.size(); ++k) {
        const Op& op = s.ops[k];
        if (op.kind == OpKind::Removal) removed.insert(op.path);
        if (op.kind == OpKind::Arrival) removed.erase(op.path);
        if (IsEvent(op.kind) || s.Excused(op, removed)) continue;
        std::string text = "the run ended at operation " + std::to_string(s.cursor) + " of " +
                           std::to_string(s.ops.size()) + ": the trace goes on with " +
                           DescribeRequest(op);
        if (k != s.cursor) text += " (operation " + std::to_string(op.n) + ")";
        return text;
    }
    return {};
}

void ReplaySession::Cancel() {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    state_->changed.notify_all();
}

}  // namespace fwu::trace
