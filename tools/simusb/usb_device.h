// The simulated controller as a USB device: the descriptors a real one
// carries (one configuration, one HID interface with a vendor report of 64
// bytes each way) and what it does with each transfer the host makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "sim/sim.h"
#include "tools/simusb/usbip_wire.h"

namespace fwu::usbip {

struct DeviceOptions {
    std::uint8_t reportId = 0;  // 0: the reports carry no ID
    bool interruptOut = true;   // an interrupt OUT endpoint beside the IN one
};

inline constexpr std::uint8_t kEndpointIn = 0x81;   // interrupt IN, endpoint 1
inline constexpr std::uint8_t kEndpointOut = 0x01;  // interrupt OUT, endpoint 1
inline constexpr std::uint16_t kMaxPacket = 64;
inline constexpr std::uint8_t kStringManufacturer = 1;
inline constexpr std::uint8_t kStringProduct = 2;
inline constexpr std::uint8_t kStringSerial = 3;  // sim::SimSerialNumber of the controller

// The result of one transfer.
struct Transfer {
    std::int32_t status = 0;         // 0, or a negative errno value (-EPIPE: STALL)
    std::vector<std::uint8_t> data;  // IN data
    std::int32_t actual = 0;         // bytes moved
    bool unanswered = false;         // the device went away: the host gets no answer
};

// Which page the host committed last on each IC (commands 0xE3 address and
// 0xE4 commit, as both bootloader generations use them).
class CommitLog {
  public:
    void Observe(int ic, std::span<const std::uint8_t> report);
    std::optional<std::uint32_t> LastCommitted(int ic) const;

  private:
    std::map<int, std::uint32_t> address_;
    std::map<int, std::uint32_t> committed_;
};

class SimUsbDevice {
  public:
    // Presents controller `index` of `sim` as it is now (identity and mode
    // are fixed for the life of this object: a new identity is a new device).
    SimUsbDevice(sim::SimBackend& sim, std::size_t index, const DeviceOptions& options,
                 CommitLog* commits);

    bool present() const { return handle_ != nullptr; }
    const std::string& simPath() const { return path_; }
    sim::UsbIdentity identity() const { return identity_; }
    sim::Mode mode() const { return mode_; }

    std::vector<std::uint8_t> DeviceDescriptor() const;
    std::vector<std::uint8_t> ConfigDescriptor() const;
    std::vector<std::uint8_t> ReportDescriptor() const;

    // A control transfer on endpoint 0; `out` is the data stage of an OUT request.
    Transfer Control(const SetupPacket& setup, std::span<const std::uint8_t> out);
    // An output report on the interrupt OUT endpoint.
    Transfer InterruptOut(std::span<const std::uint8_t> data);
    // The controller's next input report for an IN transfer of `maxLength`
    // bytes; nullopt while it has none (waiting counts no transfer).
    std::optional<Transfer> TakeInput(std::size_t maxLength);

  private:
    Transfer Standard(const Setup& s);
    Transfer ClassRequest(const Setup& s, std::span<const std::uint8_t> out);
    Transfer ControllerString(std::uint8_t index, std::uint16_t length);
    Transfer OutputReport(std::span<const std::uint8_t> data, bool controlPipe);
    // The controller is no longer the one this device presents.
    bool Gone() const;

    sim::SimController controller_;
    DeviceOptions options_;
    CommitLog* commits_;
    std::unique_ptr<IHidDevice> handle_;
    std::string path_;
    sim::UsbIdentity identity_;
    sim::Mode mode_ = sim::Mode::Absent;
    std::string serial_;
    std::uint8_t configuration_ = 0;
};

}  // namespace fwu::usbip
