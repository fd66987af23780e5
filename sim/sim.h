// The simulated controller: a model of the game controller in both of its
// modes, for demos, tests, benchmarks and the tool's --simulate option.
//
// In normal mode a controller reports the identity of each of its ICs through
// a string descriptor and can be asked to restart in its bootloader (string
// requests, the switch report, a vibration pattern). In upgrade mode it answers
// the command reports 0xE1..0xE6 of either bootloader generation, keeps a
// flash image per IC and re-enumerates between images. Faults can be injected.
//
// SimBackend owns the controllers and is at once the HID backend, the hot-plug
// source and the rumble service of the process (or of a test). Everything is
// thread-safe: the dialog's thread and the worker thread may use it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid.h"

namespace fwu::sim {

struct UsbIdentity {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    bool operator==(const UsbIdentity&) const = default;
};

// Identities used by default (UPGRADE_VID is 0x3A5C).
inline constexpr UsbIdentity kDefaultNormalId{0x3A5C, 0x1F40};
inline constexpr UsbIdentity kUpgradeId0001{0x3A5C, 0x0001};
inline constexpr UsbIdentity kUpgradeId0180{0x3A5C, 0x0180};
inline constexpr UsbIdentity kUpgradeId2033{0x3A5C, 0x2033};

// One IC of the controller: its flash and the firmware initially held in it.
struct IcConfig {
    std::uint16_t updateId = 0;
    std::uint32_t pageSize = 1024;
    std::uint32_t baseAddress = 0;
    std::uint32_t flashSize = 0;            // bytes, a multiple of pageSize
    std::uint32_t versionBlockAddress = 0;  // device address of the version block
    bool programmed = true;                 // false: the flash starts erased (0xFF)
    std::uint16_t fwVersion = 0;            // initial firmware, major in the high byte
    std::uint16_t subVersion = 0;
};

// IC0 0x313 (97 pages of 1024 bytes, block at 0x5FF0, V1.30) and
// IC1 0x20D (7 pages of 4096 bytes, block at 0x30, V1.10).
std::vector<IcConfig> DefaultIcs();

enum class Generation { V1_0, V2_0 };

// Which bootloader-entry forms the normal-mode firmware honours. A form that is
// not honoured is refused (string reads of lengths 14..18 on that index fail,
// the switch report is not accepted, no rumble controller is connected).
struct EntryForms {
    bool string254 = true;
    bool string255 = true;
    bool switchReport = true;
    bool vibration = true;
};

enum class FaultKind {
    WriteFail,    // the first write at or after transfer N fails (once)
    ReadFail,     // the first read at or after transfer N fails (once)
    Remove,       // the controller is unplugged at transfer N
    BadChecksum,  // 0xE5 answers a wrong checksum for page P (index within the IC)
    NoAnswer,     // from transfer N on, reads never complete (they time out)
    NeverReturn,  // after a bootloader request or end of image it never comes back
    WrongId,      // it comes back in upgrade mode with another update identifier
    NoStrings,    // string descriptors cannot be read
};

struct Fault {
    FaultKind kind = FaultKind::WriteFail;
    std::uint32_t n = 0;  // transfer number (1-based, counted from when the
                          // fault was set, reads and writes of every handle)
                          // or page index; unused by the last three kinds
    bool operator==(const Fault&) const = default;
};

// "write-fail@3", "bad-checksum@0", "never-return", ... nullopt when malformed.
std::optional<Fault> ParseFault(std::string_view text);
// One line per fault name, for --help.
std::string FaultHelp();
std::string FaultName(const Fault& fault);  // back to text, "remove@7"

struct Config {
    UsbIdentity normalId = kDefaultNormalId;
    UsbIdentity upgradeId = kUpgradeId0001;
    std::vector<IcConfig> ics = DefaultIcs();
    Generation generation = Generation::V2_0;
    std::uint8_t identityStringIndex = 255;  // 255, or 254 when only 254 carries it
    EntryForms entryForms;
    // "ALLUpdateOK." in bytes 9-20 of the 0xE6 reply; a 2.0 bootloader that
    // gives it to 0x11 then waits for the closing 0x12 and restarts.
    bool answerAllUpdateOk = false;
    bool startInBootloader = false;          // appears in upgrade mode presenting IC0
    std::uint8_t reportId = 0;               // OutputReportId and byte 0 of replies
    std::uint32_t latencyUs = 0;             // added to every report transfer
    std::uint32_t reenumerationDelayMs = 0;  // 0: the new path arrives at once
    std::vector<Fault> faults;
    std::size_t traceCapacity = 100000;  // oldest entries dropped beyond
};

enum class Mode { Absent, Normal, Upgrade };

enum class TraceDir { HostToDevice, DeviceToHost };
enum class TraceKind {
    Report,         // Write (host to device) or Read (device to host), 65 bytes
    OutputReport,   // SetOutputReport (control pipe)
    StringRequest,  // GetIndexedString: bytes = {index, requested length}
};

struct TraceEntry {
    TraceDir dir = TraceDir::HostToDevice;
    TraceKind kind = TraceKind::Report;
    Mode mode = Mode::Absent;
    int ic = 0;  // IC presented at that time (upgrade mode)
    std::vector<std::uint8_t> bytes;
};

struct FlashVersion {
    std::uint16_t fwVersion = 0xFFFF;  // 0xFFFF/0xFFFF when the block is missing
    std::uint16_t subVersion = 0xFFFF;
    bool operator==(const FlashVersion&) const = default;
};

class SimBackend;

// The USB serial number of simulated controller number `controller`, fixed
// for it: "FWUSIM0000", "FWUSIM0001", ...
std::string SimSerialNumber(std::size_t controller);

// A view on one controller of a SimBackend; valid as long as the backend.
class SimController {
  public:
    Mode mode() const;
    int currentIc() const;         // IC presented in upgrade mode
    std::string path() const;      // current interface path, empty when absent
    UsbIdentity identity() const;  // of the current mode

    // What the flash of IC `ic` now holds.
    FlashVersion Version(int ic) const;
    std::vector<std::uint8_t> Flash(int ic) const;  // plain bytes
    bool ImageValid(int ic) const;                  // false after an incomplete programming

    void AddFault(Fault fault);  // transfer counting restarts
    void ClearFaults();

    // Cable: unplug (Removal) and plug in again (Arrival under a new path, in
    // normal mode unless an IC's image is incomplete).
    void Unplug();
    void Plug();

    // Without counting a transfer or changing anything: whether a read would
    // now deliver an input report (none while the controller stays silent),
    // and how many content bytes string descriptor `index` holds (0 when the
    // controller keeps no such string).
    bool InputPending() const;
    std::size_t StringSize(std::uint8_t index) const;

    std::vector<TraceEntry> Trace() const;
    void ClearTrace();
    // Number of times the controller re-enumerated (removal + arrival pairs).
    std::uint32_t Reenumerations() const;

  private:
    friend class SimBackend;
    SimController(SimBackend* backend, std::size_t index) : backend_(backend), index_(index) {}
    SimBackend* backend_;
    std::size_t index_;
};

class SimBackend : public IHidBackend, public IHotplugSource, public IRumble {
  public:
    SimBackend();
    explicit SimBackend(const Config& first);  // with one controller
    ~SimBackend() override;
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    // Add a controller (plugged in at once); returns its view. Controllers are
    // numbered from 0 in the order they were added.
    SimController AddController(const Config& config);
    SimController Controller(std::size_t index);
    std::size_t ControllerCount() const;

    // IHidBackend: paths of the present controllers, in controller order, like
    // "\\?\hid#vid_3a5c&pid_0001#sim&0&0002#{4d1e55b2-f16f-11cf-88cb-001111000030}".
    std::vector<std::string> EnumeratePaths() override;
    std::unique_ptr<IHidDevice> Open(const std::string& path) override;
    // "sim" and the controller's number ("sim0", "sim1", ...), read from the
    // path itself, so a path that has gone away still tells it; "" for a
    // path that is not one of ours.
    std::string Location(const std::string& path) override;
    // SimSerialNumber of the controller the path names (also after it has
    // gone away); "" for a path that is not one of ours.
    std::string SerialNumber(const std::string& path) override;

    // IHotplugSource: the callback runs on the thread that caused the change,
    // or on a timer thread for a delayed arrival. Stop waits for callbacks in
    // progress on other threads.
    bool Start(HotplugCallback callback) override;
    void Stop() override;

    // IRumble: user index k is the k-th present normal-mode controller that
    // honours the vibration request.
    bool IsConnected(unsigned userIndex) override;
    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override;

    struct State;  // the model, behind one mutex

  private:
    friend class SimController;
    friend class SimDevice;
    std::shared_ptr<State> state_;
};

}  // namespace fwu::sim
