// A USB/IP device server for the simulated controller: presents it to the
// kernel's virtual host controller as a USB device, answers the URBs the host
// submits, and unplugs and plugs it again whenever the controller
// re-enumerates, with the identity of its new mode.
#pragma once

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

// The kernel's vhci-hcd through sysfs: a free high-speed-hub port from
// `dir`/status, one end of a socket pair handed to `dir`/attach.
class VhciBus : public IVirtualBus {
  public:
    static constexpr std::uint32_t kFullSpeed = 2;
    explicit VhciBus(std::string dir = "/sys/devices/platform/vhci_hcd.0",
                     std::uint32_t speed = kFullSpeed)
        : dir_(std::move(dir)), speed_(speed) {}
    ~VhciBus() override { Detach(); }
    int Attach(std::uint32_t devid, std::string& error) override;
    void Detach() override;

  private:
    std::string dir_;
    std::uint32_t speed_;
    int port_ = -1;
};

struct ServerOptions {
    DeviceOptions device;
    std::string readyFile;       // touched once the first device is attached
    std::FILE* trace = nullptr;  // one line per transfer; not owned
};

class UsbIpServer {
  public:
    // Serves controller 0 of `sim`.
    UsbIpServer(sim::SimBackend& sim, IVirtualBus& bus, const ServerOptions& options);
    ~UsbIpServer();
    UsbIpServer(const UsbIpServer&) = delete;
    UsbIpServer& operator=(const UsbIpServer&) = delete;

    // Serves until `stopFd` becomes readable (or hangs up), then unplugs the
    // device. False when the first device could not be plugged in (error()).
    bool Run(int stopFd);

    const std::string& error() const { return error_; }
    // Pages committed during programming (for the run's summary).
    const CommitLog& commits() const { return commits_; }

  private:
    struct PendingIn {
        std::uint32_t seqnum = 0;
        std::size_t length = 0;
    };
    struct Event {
        HotplugEvent event;
        std::string path;
    };

    bool Attach();
    void Unplug(const char* why);
    void HandleEvents();
    // One message from the host; false when the connection is over.
    bool ServeOne();
    void CompleteInput();
    bool Answer(std::uint32_t seqnum, const Transfer& t, bool in);
    // Waits (bounded) until the host has taken everything sent to it.
    void DrainToHost();
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void TraceTransfer(std::uint32_t seqnum, std::uint32_t ep, bool in, const SetupPacket* setup,
                       const std::vector<std::uint8_t>& data, std::int32_t status, bool unanswered);

    sim::SimBackend& sim_;
    IVirtualBus& bus_;
    ServerOptions options_;
    CommitLog commits_;
    std::unique_ptr<SimUsbDevice> device_;
    int sock_ = -1;
    int wake_[2] = {-1, -1};
    std::uint32_t nextDevid_ = (1u << 16) | 2u;
    bool readyTouched_ = false;
    std::vector<PendingIn> pendingIn_;
    std::mutex eventsMu_;
    std::vector<Event> events_;
    std::string error_;
};

}  // namespace fwu::usbip
