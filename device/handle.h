// An open controller, shared between the slot that recorded it and any job
// that is using it. A removal marks the device gone; every later transfer on
// it fails, and the platform handle is closed only when the last user lets go,
// so a handle value can never be reused for another controller while a job
// still holds it.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/hid.h"

namespace fwu {

// Error number logged for a transfer on a device that has been removed
// (the platform's "device not connected").
inline constexpr std::uint32_t kErrorDeviceGone = 0x48F;
// Error number logged for a read that got no report within its bound.
inline constexpr std::uint32_t kErrorReadTimeout = 0x5B4;
// Error number logged for a read abandoned because the tool is shutting down.
inline constexpr std::uint32_t kErrorCancelled = 0x4C7;

class HidHandle {
  public:
    HidHandle(std::unique_ptr<IHidDevice> io, std::string path)
        : io_(std::move(io)), path_(std::move(path)) {}

    IHidDevice& io() { return *io_; }
    const std::string& path() const { return path_; }
    bool gone() const { return gone_.load(); }
    void MarkGone() { gone_.store(true); }

    // Error number of the transport's last failed transfer on this handle
    // (kErrorReadTimeout, kErrorDeviceGone, the platform's number, ...).
    std::uint32_t lastTransferError() const { return lastTransferError_.load(); }
    void SetLastTransferError(std::uint32_t error) { lastTransferError_.store(error); }

  private:
    std::unique_ptr<IHidDevice> io_;
    std::string path_;
    std::atomic<bool> gone_{false};
    std::atomic<std::uint32_t> lastTransferError_{0};
};

using DeviceHandle = std::shared_ptr<HidHandle>;

// Open `path` through the current HID backend; nullptr on failure.
DeviceHandle OpenDevice(const std::string& path);

}  // namespace fwu
