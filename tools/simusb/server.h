// A USB/IP device server for the simulated controllers: presents each to the
// kernel's virtual host controller as a USB device on a port of its own,
// answers the URBs the host submits, and unplugs and plugs it again into the
// same port whenever the controller re-enumerates, with the identity of its
// new mode.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tools/simusb/usb_device.h"

namespace fwu::usbip {

// Where the device is plugged in.
class IVirtualBus {
  public:
    virtual ~IVirtualBus() = default;
    // Plugs a device in: returns this side's end of the connection the host
    // speaks USB/IP on, or -1 with `error` set.
    virtual int Attach(std::uint32_t devid, std::string& error) = 0;
    // Unplugs the attached device (nothing when none is attached).
    virtual void Detach() = 0;
};

// Attach errors that pass once the host has let go of a port.
inline constexpr char kNoFreePort[] = "no free high-speed port on ";
inline constexpr char kPortInUse[] = "the port is still in use: ";

// The kernel's vhci-hcd through sysfs: one port of its high-speed hub, one
// end of a socket pair handed to `dir`/attach. The first attach takes the
// first port that `dir`/status shows free and no other VhciBus of this
// process holds; every later attach goes to that same port, as a device on a
// real hub comes back where it is plugged in.
class VhciBus : public IVirtualBus {
  public:
    static constexpr std::uint32_t kFullSpeed = 2;
    explicit VhciBus(std::string dir = "/sys/devices/platform/vhci_hcd.0",
                     std::uint32_t speed = kFullSpeed)
        : dir_(std::move(dir)), speed_(speed) {}
    ~VhciBus() override;
    VhciBus(const VhciBus&) = delete;
    VhciBus& operator=(const VhciBus&) = delete;
    int Attach(std::uint32_t devid, std::string& error) override;
    void Detach() override;
    // The port (as `dir`/status numbers it) this bus plugs into; -1 before
    // the first attach.
    int port() const { return home_; }

  private:
    std::string dir_;
    std::uint32_t speed_;
    int home_ = -1;  // the port of the first attach, kept
    bool attached_ = false;
};

struct ServerOptions {
    DeviceOptions device;
    std::string readyFile;       // touched once the first device is attached
    std::FILE* trace = nullptr;  // one line per transfer; not owned
};

class UsbIpServer {
  public:
    // Serves controller k of `sim` on `buses[k]`, one bus for each.
    UsbIpServer(sim::SimBackend& sim, const std::vector<IVirtualBus*>& buses,
                const ServerOptions& options);
    // Serves controller 0 of `sim` on `bus`.
    UsbIpServer(sim::SimBackend& sim, IVirtualBus& bus, const ServerOptions& options);
    ~UsbIpServer();
    UsbIpServer(const UsbIpServer&) = delete;
    UsbIpServer& operator=(const UsbIpServer&) = delete;

    // Serves until `stopFd` becomes readable (or hangs up), then unplugs the
    // devices. False when a first device could not be plugged in (error()).
    bool Run(int stopFd);

    const std::string& error() const { return error_; }
    // Pages committed during programming of controller `unit` (for the
    // run's summary).
    const CommitLog& commits(std::size_t unit = 0) const { return units_.at(unit)->commits; }

  private:
    struct PendingIn {
        std::uint32_t seqnum = 0;
        std::size_t length = 0;
    };
    struct Event {
        HotplugEvent event;
        std::string path;
    };
    // One controller and the port it is plugged into.
    struct Unit {
        std::size_t index = 0;
        IVirtualBus* bus = nullptr;
        std::string tag;  // "" with one controller, "uK " with several (trace lines)
        CommitLog commits;
        std::unique_ptr<SimUsbDevice> device;
        int sock = -1;
        std::vector<PendingIn> pendingIn;
        // Re-plugged, waiting for its port: attach attempts left (0: none
        // pending) and when the next is due.
        int attachTriesLeft = 0;
        std::chrono::steady_clock::time_point attachDue;
    };

    // Plugs the controller in; with `wait`, retries a busy port here,
    // otherwise leaves the retries to the serving loop (the others are
    // served meanwhile). False when it cannot be plugged in (now).
    bool Attach(Unit& u, bool wait = true);
    bool TryAttach(Unit& u, std::string& error);
    void RetryAttaches();
    // How long the serving loop may wait for the host (-1: no limit).
    int PollTimeoutMs() const;
    void Unplug(Unit& u, const char* why);
    void Disconnect(Unit& u);
    void HandleEvents();
    // One message from the host; false when the connection is over.
    bool ServeOne(Unit& u);
    void CompleteInput(Unit& u);
    bool Answer(Unit& u, std::uint32_t seqnum, const Transfer& t, bool in);
    // Waits (bounded) until the host has taken everything sent to it.
    void DrainToHost(Unit& u);
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void TraceTransfer(const Unit& u, std::uint32_t seqnum, std::uint32_t ep, bool in,
                       const SetupPacket* setup, const std::vector<std::uint8_t>& data,
                       std::int32_t status, bool unanswered);

    sim::SimBackend& sim_;
    ServerOptions options_;
    std::vector<std::unique_ptr<Unit>> units_;
    int wake_[2] = {-1, -1};
    std::uint32_t nextDevid_ = (1u << 16) | 2u;
    std::mutex eventsMu_;
    std::vector<Event> events_;
    std::string error_;
};

}  // namespace fwu::usbip
