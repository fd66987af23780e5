// SimBackend: the simulated controllers as HID backend, hot-plug source and
// rumble service; SimDevice: an open handle on one controller.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/bytes.h"
#include "base/pause.h"
#include "base/text.h"
#include "package/version_block.h"
#include "sim/model.h"

namespace fwu::sim {
namespace {

inline constexpr std::uint32_t kSimErrorTimeout = 0x5B4;
inline constexpr std::uint32_t kReadSliceMs = 10;

thread_local int t_dispatchDepth = 0;

// The end-of-image command that closes a run (0xE6, byte 5 = 0x12).
bool IsClosingEnd(const std::uint8_t* r, std::size_t length) {
    return length == kReportSize && r[1] == 0xA5 && r[2] == 0xE6 && r[3] == 0x5A && r[4] == 0x19 &&
           r[5] == 0x12;
}

bool SamePath(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

IcState MakeIc(const IcConfig& in) {
    IcState s;
    s.cfg = in;
    if (s.cfg.pageSize == 0) s.cfg.pageSize = 64;
    s.cfg.flashSize -= s.cfg.flashSize % s.cfg.pageSize;
    s.flash.assign(s.cfg.flashSize, 0xFF);
    if (in.programmed && in.versionBlockAddress >= in.baseAddress) {
        const std::size_t at = in.versionBlockAddress - in.baseAddress;
        if (InRange(ByteView(s.flash), at, kVersionBlockSize)) {
            std::uint8_t* p = s.flash.data() + at;
            std::memcpy(p, kVersionBlockMagic, sizeof kVersionBlockMagic);
            StoreLe16(p + 4, in.updateId);
            StoreLe16(p + 6, in.fwVersion);
            StoreLe16(p + 8, in.subVersion);
            std::memset(p + 10, 0, 6);
        }
    }
    s.valid = true;
    s.ResetSession();
    return s;
}

}  // namespace

void SimBackend::State::Dispatch(const Notes& notes) {
    if (notes.empty()) return;
    HotplugCallback cb;
    {
        std::lock_guard lock(cbMu);
        cb = callback;
        if (cb) ++inFlight;
    }
    if (cb) {
        ++t_dispatchDepth;
        for (const HotplugNote& n : notes) cb(n.event, n.path);
        --t_dispatchDepth;
    }
    {
        std::lock_guard lock(cbMu);
        if (cb) --inFlight;
        for (const HotplugNote& n : notes)
            if (n.dispatched) n.dispatched->store(true);
    }
    cbCv.notify_all();
}

// ------------------------------------------------------------- SimDevice

class SimDevice : public IHidDevice {
  public:
    SimDevice(std::shared_ptr<SimBackend::State> state, Unit* c, std::uint64_t instance)
        : state_(std::move(state)), c_(c), instance_(instance) {}

    ~SimDevice() override {
        // A controller told that its image ended leaves when the handle that
        // told it is closed, if it has not left already.
        Notes notes;
        {
            std::lock_guard lock(state_->mu);
            if (Alive() && c_->pendingLeave != LeaveTarget::None)
                state_->Leave(*c_, c_->pendingLeave, notes);
        }
        state_->Dispatch(notes);
    }

    bool Write(const std::uint8_t* report, std::size_t length) override {
        readWaiting_ = false;
        Notes notes;
        std::uint32_t pause = 0;
        std::uint32_t error = 0;
        {
            std::lock_guard lock(state_->mu);
            if (!Alive()) {
                error = kSimErrorNotConnected;
            } else if (c_->pendingLeave != LeaveTarget::None &&
                       !(c_->awaitingLastEnd && IsClosingEnd(report, length))) {
                state_->Leave(*c_, c_->pendingLeave, notes);
                error = kSimErrorNotConnected;
            } else if (length != kReportSize) {
                error = kSimErrorInvalidParameter;
            } else if (state_->CountTransfer(*c_, true, error, notes)) {
                c_->AddTrace(TraceDir::HostToDevice, TraceKind::Report, report, length);
                pause = c_->TakeLatencyMs();
                if (c_->mode == Mode::Upgrade) {
                    Report r{};
                    std::memcpy(r.data(), report, kReportSize);
                    state_->HandleUpgradeReport(*c_, r);
                }
            }
        }
        state_->Dispatch(notes);
        if (pause) PauseMs(pause);
        lastError_.store(error);
        return error == 0;
    }

    ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) override {
        Notes notes;
        std::uint32_t pause = 0;
        std::uint32_t error = 0;
        {
            std::lock_guard lock(state_->mu);
            if (!Alive()) {
                error = kSimErrorNotConnected;
            } else if (length < kReportSize) {
                error = kSimErrorInvalidParameter;
            } else if (readWaiting_) {
                // The host goes on waiting for the same report: one transfer.
            } else if (state_->CountTransfer(*c_, false, error, notes)) {
                pause = c_->TakeLatencyMs();
            } else if (Alive() && !c_->replies.empty()) {
                // The report in flight is lost; a controller that has sent
                // its end-of-image answer restarts all the same.
                const bool leave = c_->replies.front().leaveAfter;
                c_->replies.pop_front();
                if (leave && c_->pendingLeave != LeaveTarget::None)
                    state_->Leave(*c_, c_->pendingLeave, notes);
            }
        }
        state_->Dispatch(notes);
        notes.clear();
        readWaiting_ = false;
        if (error != 0) {
            lastError_.store(error);
            return ReadStatus::Failed;
        }
        if (pause) PauseMs(pause);

        // Wait for an input report in short slices, so that a removal or a
        // cancellation ends the wait.
        std::uint32_t waited = 0;
        for (;;) {
            bool got = false;
            {
                std::lock_guard lock(state_->mu);
                if (!Alive()) {
                    error = kSimErrorNotConnected;
                } else if (!c_->silent && !c_->replies.empty()) {
                    const Reply reply = c_->replies.front();
                    c_->replies.pop_front();
                    std::memcpy(report, reply.bytes.data(), kReportSize);
                    c_->AddTrace(TraceDir::DeviceToHost, TraceKind::Report, reply.bytes.data(),
                                 kReportSize);
                    if (reply.leaveAfter && c_->pendingLeave != LeaveTarget::None)
                        state_->Leave(*c_, c_->pendingLeave, notes);
                    got = true;
                }
            }
            if (got) {
                state_->Dispatch(notes);
                lastError_.store(0);
                return ReadStatus::Ok;
            }
            if (error != 0) {
                lastError_.store(error);
                return ReadStatus::Failed;
            }
            if (waited >= timeoutMs || CancelRequested()) {
                readWaiting_ = true;
                lastError_.store(kSimErrorTimeout);
                return ReadStatus::Timeout;
            }
            const std::uint32_t slice = std::min(kReadSliceMs, timeoutMs - waited);
            PauseMs(slice);
            waited += slice;
        }
    }

    std::uint8_t OutputReportId() override {
        std::lock_guard lock(state_->mu);
        return Alive() ? c_->cfg.reportId : 0;
    }

    bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer, std::size_t length) override {
        Notes notes;
        bool ok = false;
        {
            std::lock_guard lock(state_->mu);
            if (Alive()) {
                const std::uint8_t request[2] = {index, static_cast<std::uint8_t>(length)};
                c_->AddTrace(TraceDir::HostToDevice, TraceKind::StringRequest, request, 2);
                ok = state_->HandleString(*c_, index, buffer, length, notes);
            }
        }
        state_->Dispatch(notes);
        lastError_.store(ok ? 0 : kSimErrorGeneral);
        return ok;
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        Notes notes;
        bool ok = false;
        {
            std::lock_guard lock(state_->mu);
            if (Alive()) {
                c_->AddTrace(TraceDir::HostToDevice, TraceKind::OutputReport, report, length);
                ok = state_->HandleSwitchReport(*c_, report, length, notes);
            }
        }
        state_->Dispatch(notes);
        lastError_.store(ok ? 0 : kSimErrorGeneral);
        return ok;
    }

    void DropQueuedInput() override {
        // Replies the host never read are gone; one that was an end-of-image
        // answer still lets the controller restart.
        Notes notes;
        {
            std::lock_guard lock(state_->mu);
            while (Alive() && !c_->replies.empty()) {
                const bool leave = c_->replies.front().leaveAfter;
                c_->replies.pop_front();
                if (leave && c_->pendingLeave != LeaveTarget::None)
                    state_->Leave(*c_, c_->pendingLeave, notes);
            }
        }
        state_->Dispatch(notes);
    }

    bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) override {
        std::lock_guard lock(state_->mu);
        if (!Alive()) return false;
        const UsbIdentity id = c_->Identity();
        vid = id.vid;
        pid = id.pid;
        return true;
    }

    std::uint32_t LastError() const override { return lastError_.load(); }

  private:
    // With the state's mutex held.
    bool Alive() const { return c_->instance == instance_ && c_->mode != Mode::Absent; }

    std::shared_ptr<SimBackend::State> state_;
    Unit* c_;
    std::uint64_t instance_;
    std::atomic<std::uint32_t> lastError_{0};
    // A read timed out and no write followed: the next read continues it
    // (the host waits in slices) rather than starting a new transfer.
    bool readWaiting_ = false;
};

// ------------------------------------------------------------ SimBackend

SimBackend::SimBackend() : state_(std::make_shared<State>()) {}

SimBackend::SimBackend(const Config& first) : SimBackend() {
    AddController(first);
}

SimBackend::~SimBackend() {
    Stop();
    {
        std::lock_guard lock(state_->cbMu);
        state_->stopping.store(true);
    }
    state_->cbCv.notify_all();
    std::vector<TimerThread> timers;
    {
        std::lock_guard lock(state_->mu);
        timers.swap(state_->timers);
    }
    for (TimerThread& t : timers) t.thread.join();
}

SimController SimBackend::AddController(const Config& config) {
    Notes notes;
    std::size_t index = 0;
    {
        std::lock_guard lock(state_->mu);
        auto c = std::make_unique<Unit>();
        c->cfg = config;
        index = state_->controllers.size();
        c->index = index;
        for (const IcConfig& ic : config.ics) c->ics.push_back(MakeIc(ic));
        for (const Fault& f : config.faults) c->faults.push_back({f, false});
        Unit& ref = *c;
        state_->controllers.push_back(std::move(c));
        state_->Arrive(ref, config.startInBootloader ? Mode::Upgrade : Mode::Normal, 0, notes);
        ref.reenumerations = 0;
    }
    state_->Dispatch(notes);
    return SimController(this, index);
}

SimController SimBackend::Controller(std::size_t index) {
    return SimController(this, index);
}

std::size_t SimBackend::ControllerCount() const {
    std::lock_guard lock(state_->mu);
    return state_->controllers.size();
}

std::vector<std::string> SimBackend::EnumeratePaths() {
    std::lock_guard lock(state_->mu);
    std::vector<std::string> paths;
    for (const auto& c : state_->controllers)
        if (c->mode != Mode::Absent) paths.push_back(c->path);
    return paths;
}

std::unique_ptr<IHidDevice> SimBackend::Open(const std::string& path) {
    std::lock_guard lock(state_->mu);
    for (const auto& c : state_->controllers)
        if (c->mode != Mode::Absent && SamePath(c->path, path))
            return std::make_unique<SimDevice>(state_, c.get(), c->instance);
    return nullptr;
}

std::string SimBackend::Location(const std::string& path) {
    // The controller's number is the field after "#sim&" (any case).
    std::string lower(path.size(), '\0');
    std::transform(path.begin(), path.end(), lower.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    const std::size_t at = lower.find("#sim&");
    if (at == std::string::npos) return {};
    const std::size_t begin = at + 5;
    std::size_t end = begin;
    while (end < lower.size() && end - begin < 9 && lower[end] >= '0' && lower[end] <= '9') ++end;
    if (end == begin || end >= lower.size() || lower[end] != '&') return {};
    return "sim" + lower.substr(begin, end - begin);
}

std::string SimSerialNumber(std::size_t controller) {
    return Format("FWUSIM%04u", static_cast<unsigned>(controller));
}

std::string SimBackend::SerialNumber(const std::string& path) {
    // The location is "sim" and the controller's number.
    const std::string location = Location(path);
    if (location.size() <= 3) return {};
    return SimSerialNumber(static_cast<std::size_t>(std::stoul(location.substr(3))));
}

bool SimBackend::Start(HotplugCallback callback) {
    std::lock_guard lock(state_->cbMu);
    state_->callback = std::move(callback);
    return true;
}

void SimBackend::Stop() {
    std::unique_lock lock(state_->cbMu);
    state_->callback = nullptr;
    // A callback that stops the source itself must not wait for itself.
    if (t_dispatchDepth == 0) state_->cbCv.wait(lock, [this] { return state_->inFlight == 0; });
}

bool SimBackend::IsConnected(unsigned userIndex) {
    std::lock_guard lock(state_->mu);
    return userIndex < state_->RumbleControllers().size();
}

bool SimBackend::SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) {
    Notes notes;
    {
        std::lock_guard lock(state_->mu);
        const std::vector<Unit*> list = state_->RumbleControllers();
        if (userIndex >= list.size()) return false;
        Unit& c = *list[userIndex];
        // The vibration pattern, played in full, asks for the bootloader.
        if (left == PatternLeft(c.rumbleStep) && right == PatternRight(c.rumbleStep)) {
            ++c.rumbleStep;
        } else {
            c.rumbleStep = (left == PatternLeft(0) && right == PatternRight(0)) ? 1 : 0;
        }
        if (c.rumbleStep == kPatternSteps) {
            c.rumbleStep = 0;
            state_->EnterBootloader(c, notes);
        }
    }
    state_->Dispatch(notes);
    return true;
}

// --------------------------------------------------------- SimController

namespace {

template <typename F>
auto WithController(SimBackend::State& s, std::size_t index, F&& f) {
    std::lock_guard lock(s.mu);
    Unit* c = index < s.controllers.size() ? s.controllers[index].get() : nullptr;
    return f(c);
}

}  // namespace

Mode SimController::mode() const {
    return WithController(*backend_->state_, index_,
                          [](Unit* c) { return c ? c->mode : Mode::Absent; });
}

int SimController::currentIc() const {
    return WithController(*backend_->state_, index_, [](Unit* c) { return c ? c->ic : 0; });
}

std::string SimController::path() const {
    return WithController(*backend_->state_, index_,
                          [](Unit* c) { return c ? c->path : std::string(); });
}

UsbIdentity SimController::identity() const {
    return WithController(*backend_->state_, index_,
                          [](Unit* c) { return c ? c->Identity() : UsbIdentity{}; });
}

FlashVersion SimController::Version(int ic) const {
    return WithController(*backend_->state_, index_, [ic](Unit* c) {
        if (!c || ic < 0 || static_cast<std::size_t>(ic) >= c->ics.size()) return FlashVersion{};
        return c->ics[static_cast<std::size_t>(ic)].ReadVersion();
    });
}

std::vector<std::uint8_t> SimController::Flash(int ic) const {
    return WithController(*backend_->state_, index_, [ic](Unit* c) {
        if (!c || ic < 0 || static_cast<std::size_t>(ic) >= c->ics.size())
            return std::vector<std::uint8_t>();
        return c->ics[static_cast<std::size_t>(ic)].flash;
    });
}

bool SimController::ImageValid(int ic) const {
    return WithController(*backend_->state_, index_, [ic](Unit* c) {
        if (!c || ic < 0 || static_cast<std::size_t>(ic) >= c->ics.size()) return false;
        return c->ics[static_cast<std::size_t>(ic)].valid;
    });
}

void SimController::AddFault(Fault fault) {
    WithController(*backend_->state_, index_, [fault](Unit* c) {
        if (!c) return 0;
        c->faults.push_back({fault, false});
        c->transfers = 0;
        return 0;
    });
}

void SimController::ClearFaults() {
    WithController(*backend_->state_, index_, [](Unit* c) {
        if (!c) return 0;
        c->faults.clear();
        c->silent = false;
        return 0;
    });
}

void SimController::Unplug() {
    SimBackend::State& s = *backend_->state_;
    Notes notes = WithController(s, index_, [&s](Unit* c) {
        Notes n;
        if (c) s.Remove(*c, n);
        return n;
    });
    s.Dispatch(notes);
}

void SimController::Plug() {
    SimBackend::State& s = *backend_->state_;
    Notes notes = WithController(s, index_, [&s](Unit* c) {
        Notes n;
        if (!c || c->mode != Mode::Absent) return n;
        if (c->cfg.startInBootloader) {
            s.Arrive(*c, Mode::Upgrade, 0, n);
        } else {
            s.Restart(*c, n, true);
        }
        return n;
    });
    s.Dispatch(notes);
}

bool SimController::InputPending() const {
    return WithController(*backend_->state_, index_, [](Unit* c) {
        return c && c->mode != Mode::Absent && !c->silent && !c->replies.empty();
    });
}

std::size_t SimController::StringSize(std::uint8_t index) const {
    return WithController(*backend_->state_, index_, [index](Unit* c) -> std::size_t {
        if (!c || c->mode != Mode::Normal || index != c->cfg.identityStringIndex) return 0;
        return c->IdentityString().size();
    });
}

std::vector<TraceEntry> SimController::Trace() const {
    return WithController(*backend_->state_, index_, [](Unit* c) {
        if (!c) return std::vector<TraceEntry>();
        return std::vector<TraceEntry>(c->trace.begin(), c->trace.end());
    });
}

void SimController::ClearTrace() {
    WithController(*backend_->state_, index_, [](Unit* c) {
        if (c) c->trace.clear();
        return 0;
    });
}

std::uint32_t SimController::Reenumerations() const {
    return WithController(*backend_->state_, index_,
                          [](Unit* c) { return c ? c->reenumerations : 0u; });
}

}  // namespace fwu::sim
