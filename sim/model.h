// Internals of the simulated controller: the state behind SimBackend's mutex
// and the operations of one controller. Not part of the public interface.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid.h"
#include "sim/sim.h"

namespace fwu::sim {

// Error numbers handed out by LastError (the platform's numbers for the same
// conditions, so that logs read alike).
inline constexpr std::uint32_t kSimErrorNotConnected = 0x48F;
inline constexpr std::uint32_t kSimErrorGeneral = 0x1F;
inline constexpr std::uint32_t kSimErrorInvalidParameter = 0x57;

inline constexpr std::size_t kReplyQueueLimit = 32;  // input reports kept unread
inline constexpr int kPatternSteps = 100;

// Motor speeds of step s of the vibration pattern that asks for the bootloader.
std::uint16_t PatternLeft(int step);
std::uint16_t PatternRight(int step);

using Report = std::array<std::uint8_t, kReportSize>;

struct HotplugNote {
    HotplugEvent event;
    std::string path;
    // Set once the note has been handed to the callback (or dropped for want
    // of one); a delayed arrival waits for the removal before it.
    std::shared_ptr<std::atomic<bool>> dispatched = nullptr;
};
using Notes = std::vector<HotplugNote>;

struct IcState {
    IcConfig cfg;
    std::vector<std::uint8_t> flash;  // plain bytes
    bool valid = true;                // holds a complete image
    // Programming session since the bootloader last presented this IC.
    std::vector<std::uint8_t> written;
    std::vector<std::uint8_t> verified;
    long lastWritten = -1;

    std::uint32_t PageCount() const { return cfg.flashSize / cfg.pageSize; }
    // Page index of a device address; -1 when it is not a page start inside the flash.
    long PageOf(std::uint32_t address) const;
    FlashVersion ReadVersion() const;
    bool SessionComplete() const;
    void ResetSession();
};

struct ArmedFault {
    Fault fault;
    bool fired = false;
};

struct Reply {
    Report bytes{};
    bool leaveAfter = false;  // the controller re-enumerates once this is read
};

enum class LeaveTarget { None, NextIc, Restart };

// One simulated controller.
struct Unit {
    Config cfg;
    std::size_t index = 0;
    Mode mode = Mode::Absent;
    int ic = 0;
    std::string path;
    std::uint64_t instance = 0;  // changes at every removal and arrival
    std::uint32_t reenumerations = 0;
    std::vector<IcState> ics;

    std::deque<Reply> replies;
    LeaveTarget pendingLeave = LeaveTarget::None;
    // A 2.0 bootloader that answered "ALLUpdateOK." stays for the closing
    // end-of-image command (0x12) before it restarts.
    bool awaitingLastEnd = false;

    // Page buffer of the bootloader.
    bool pageOpen = false;
    bool addressKnown = false;
    std::uint32_t pageAddress = 0;
    std::vector<std::uint8_t> pageBuffer;

    // Bootloader requests in progress (normal mode).
    int stringIndex = -1;
    int stringNextLength = 0;
    int switchNext = 0;
    int rumbleStep = 0;

    std::vector<ArmedFault> faults;
    std::uint64_t transfers = 0;
    bool silent = false;  // no-answer fault fired
    std::uint32_t latencyAccUs = 0;

    std::deque<TraceEntry> trace;

    UsbIdentity Identity() const;
    bool HasFault(FaultKind kind) const;
    void AddTrace(TraceDir dir, TraceKind kind, const std::uint8_t* bytes, std::size_t n);
    // Whole milliseconds of latency owed for one more transfer.
    std::uint32_t TakeLatencyMs();
    std::vector<std::uint8_t> IdentityString() const;
    // The IC presented in upgrade mode, nullptr when the list is empty.
    IcState* CurrentIc();
};

struct TimerThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

struct SimBackend::State {
    std::mutex mu;
    std::vector<std::unique_ptr<Unit>> controllers;
    std::uint32_t nextSerial = 1;
    std::vector<TimerThread> timers;
    std::atomic<bool> stopping{false};

    std::mutex cbMu;
    std::condition_variable cbCv;
    HotplugCallback callback;
    int inFlight = 0;

    // --- with mu held ---
    void Arrive(Unit& c, Mode mode, int ic, Notes& notes);
    void Remove(Unit& c, Notes& notes);
    // Go away and come back (after the re-enumeration delay) as `mode`/`ic`.
    void Reenumerate(Unit& c, Mode mode, int ic, Notes& notes);
    void EnterBootloader(Unit& c, Notes& notes);
    void Leave(Unit& c, LeaveTarget target, Notes& notes);
    // Where a controller restarts: the first IC with an incomplete image, else normal mode.
    void Restart(Unit& c, Notes& notes, bool cable);
    // Counts one report transfer; false when a fault makes it fail (`error` set).
    bool CountTransfer(Unit& c, bool isWrite, std::uint32_t& error, Notes& notes);
    void HandleUpgradeReport(Unit& c, const Report& report);
    bool HandleString(Unit& c, std::uint8_t index, std::uint8_t* buffer, std::size_t length,
                      Notes& notes);
    bool HandleSwitchReport(Unit& c, const std::uint8_t* report, std::size_t length, Notes& notes);
    std::vector<Unit*> RumbleControllers();

    // --- without mu held ---
    void Dispatch(const Notes& notes);
};

}  // namespace fwu::sim
