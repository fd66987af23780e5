// Control-pipe requests to the USB device behind a hidraw node, for what
// hidraw itself does not offer: string descriptors by index with a chosen
// length, and SET_REPORT of an output report on the control pipe.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid.h"

struct libusb_context;
struct libusb_device_handle;

namespace fwu {

// Where a hidraw node sits on the USB: bus number, device address and the
// HID interface number; -1 where unknown (a Bluetooth or virtual device).
struct UsbLocation {
    int bus = -1;
    int address = -1;
    int interfaceNumber = -1;
    bool interruptOut = false;  // the HID interface has an interrupt OUT endpoint
    std::string node;           // the USB device's node, "/dev/bus/usb/BBB/DDD"
    bool known() const { return bus >= 0 && address >= 0; }
};

// Looks the character device `rdev` up in udev and walks to its USB parents.
UsbLocation UsbLocationOfNode(dev_t rdev);

// One libusb context for the backend and every device it opened; made on
// first use, ended when the last user lets go.
class UsbSession {
  public:
    UsbSession() = default;
    ~UsbSession();
    UsbSession(const UsbSession&) = delete;
    UsbSession& operator=(const UsbSession&) = delete;
    // nullptr when libusb cannot be initialised.
    libusb_context* Context();

  private:
    std::mutex mutex_;
    libusb_context* context_ = nullptr;
    bool failed_ = false;
};

// The control pipe of one USB device, opened on first use.
class UsbControl {
  public:
    UsbControl(std::shared_ptr<UsbSession> session, UsbLocation location);
    ~UsbControl();
    UsbControl(const UsbControl&) = delete;
    UsbControl& operator=(const UsbControl&) = delete;

    // True when the device's control pipe can be opened (a USB device we
    // have permission for).
    bool Available() { return EnsureOpen() == 0; }
    bool HasInterface() const { return location_.interfaceNumber >= 0; }
    bool HasInterruptOut() const { return HasInterface() && location_.interruptOut; }

    // GET_DESCRIPTOR(string `index`, US English) asking for exactly `length`
    // bytes; the number of bytes received, or a negative errno value.
    int GetStringDescriptor(std::uint8_t index, std::uint8_t* data, std::size_t length);

    // SET_REPORT(Output, `reportId`) to the HID interface with `length`
    // bytes of `data`, on the control pipe. The kernel passes a class request
    // to an interface only to the interface's owner, so the kernel driver is
    // detached from the interface for the request and attached again at once
    // (tried a few times; a failure is logged, tried again with the next
    // request and when the device is closed, and any later start of the
    // tool gives the interface its driver back: ReattachUnboundHidInterfaces).
    // The process cannot be ended inside this window (CriticalWindow).
    // The number of bytes sent, or a negative errno value (-EACCES, -EBUSY or
    // -EPERM when the interface could not be taken over).
    int SetOutputReportDetached(std::uint8_t reportId, const std::uint8_t* data,
                                std::size_t length);

  private:
    // Opens the device when needed; 0 or a negative errno value.
    int EnsureOpen();
    // Gives the interface back to its kernel driver; false (logged) when
    // that failed every time.
    bool Reattach(int iface);

    std::shared_ptr<UsbSession> session_;
    UsbLocation location_;
    libusb_device_handle* handle_ = nullptr;
    int fd_ = -1;                // the USB device node, when the handle wraps it
    bool owedReattach_ = false;  // we took the interface off its driver
};

// Gives each HID interface of the present USB devices with one of these
// identities that has no driver bound back to the kernel (usbhid), through
// the USB device node with the access the udev rules give. Logs each one
// and returns how many got a driver.
int ReattachUnboundHidInterfaces(UsbSession& session, const std::vector<HidIdentity>& identities);

}  // namespace fwu
