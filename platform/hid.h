// The HID access the core needs, one small interface implemented by each
// platform (platform/linux, platform/windows) and by the simulated
// controller (sim/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fwu {

inline constexpr std::size_t kReportSize = 65;  // report ID + 64 payload bytes

enum class ReadStatus { Ok, Timeout, Failed };

// One open HID interface. Closed when the object is destroyed. Not required
// to be thread-safe beyond: one thread transfers while another may call
// nothing but the destructor-free queries.
class IHidDevice {
  public:
    virtual ~IHidDevice() = default;

    // Write one output report of `length` bytes (byte 0 the report ID).
    [[nodiscard]] virtual bool Write(const std::uint8_t* report, std::size_t length) = 0;

    // Read one input report into `report` (byte 0 the report ID, 0 for a
    // device without numbered reports), waiting at most `timeoutMs`.
    virtual ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) = 0;

    // Report ID of the first output value item of the report description; 0
    // when it cannot be read.
    virtual std::uint8_t OutputReportId() = 0;

    // Raw content bytes of string descriptor `index`, requesting `length`
    // bytes (the requested length is passed on to the device).
    [[nodiscard]] virtual bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer,
                                                std::size_t length) = 0;

    // Send an output report of exactly `length` bytes through the control pipe.
    [[nodiscard]] virtual bool SetOutputReport(const std::uint8_t* report, std::size_t length) = 0;

    // Vendor and product identifiers; false when the device is gone.
    [[nodiscard]] virtual bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) = 0;

    // Discard the input reports already queued for this handle without
    // waiting. A reply that arrived after its read gave up would otherwise be
    // taken as the answer to the next request.
    virtual void DropQueuedInput() = 0;

    // Error number of the last failed call, for the log.
    virtual std::uint32_t LastError() const = 0;
};

// A USB identity the tool looks for: vendor and product identifiers.
struct HidIdentity {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
};

// Enumeration and opening of HID interfaces. Every path handed out carries
// "vid_XXXX" and "pid_XXXX" (lower-case hexadecimal).
//
// One controller, one driver of it: while an interface is open, the process
// holds an exclusive lock on it that other processes see, whichever user runs
// them; Open fails on an interface another process holds. Opening the same
// interface again in the same process shares the lock, which is let go with
// the last open device of it.
class IHidBackend {
  public:
    virtual ~IHidBackend() = default;
    // Paths of the present HID interfaces, in a stable order.
    virtual std::vector<std::string> EnumeratePaths() = 0;
    // Open a path for reading and writing (shared); nullptr on failure.
    virtual std::unique_ptr<IHidDevice> Open(const std::string& path) = 0;
    // True when `path` is present but this user is not allowed to open it,
    // so the user can be told how to get access.
    virtual bool AccessDenied(const std::string& /*path*/) { return false; }
    // True when `path` is present but another process holds its lock (it
    // drives that controller), so the user can be told why it is left alone.
    virtual bool LockedByOther(const std::string& /*path*/) { return false; }
    // Gives every HID interface of the USB devices with these identities
    // that has no driver bound (a program that took the driver off it ended
    // without giving it back) back to the system's HID driver; the interface
    // then arrives like a plugged-in one. Says in the log what it did and
    // returns how many interfaces got their driver back. Nothing where the
    // platform leaves interfaces to no program.
    virtual int RestoreDrivers(const std::vector<HidIdentity>& /*identities*/) { return 0; }
    // Where the interface `path` is plugged in: a name of its USB port that
    // stays the same while the controller re-enumerates in its other mode,
    // so that the controller that comes back in upgrade mode can be told
    // from another one of the same identity. Also answers for a path that
    // has just gone away (a removal). "" where the platform gives none.
    virtual std::string Location(const std::string& /*path*/) { return {}; }
    // The USB serial number of the controller behind the interface `path`
    // (the device's serial number string), "" when it has none or it cannot
    // be read.
    virtual std::string SerialNumber(const std::string& /*path*/) { return {}; }
};

enum class HotplugEvent { Arrival, Removal };
using HotplugCallback = std::function<void(HotplugEvent, const std::string& path)>;

// Arrival and removal of HID interfaces. The callback may run on any thread;
// front ends hand the event to the dialog's thread.
class IHotplugSource {
  public:
    virtual ~IHotplugSource() = default;
    virtual bool Start(HotplugCallback callback) = 0;
    virtual void Stop() = 0;
};

// Game-controller rumble, four user indexes (0 to 3).
class IRumble {
  public:
    // Answers of UserIndexFor.
    static constexpr int kNoLink = -2;  // the platform links no game controller to a HID interface
    static constexpr int kNone =
        -1;  // the HID interface's device has no game controller that rumbles

    virtual ~IRumble() = default;
    virtual bool IsConnected(unsigned userIndex) = 0;
    virtual bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) = 0;

    // The user index of the game controller that belongs to the same device
    // as the HID interface `devicePath`, for SetState; kNone when that device
    // has none. kNoLink where the platform cannot tell which game controller
    // a HID interface belongs to: the caller then takes the lowest connected
    // user index (IsConnected).
    virtual int UserIndexFor(const std::string& /*devicePath*/) { return kNoLink; }
};

// Where the core gets these services. Set once at start-up (or by a test).
IHidBackend& HidBackend();
void SetHidBackend(IHidBackend* backend);
IRumble& Rumble();
void SetRumble(IRumble* rumble);

}  // namespace fwu
