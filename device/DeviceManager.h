// The report transport, the device information query, discovery and the
// bootloader entry of a controller; the two download protocols live beside
// it (device/Download*.cpp) and log under the same module name.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/handle.h"
#include "device/slots.h"
#include "package/package.h"

namespace fwu {

// Vendor identifier of controllers in upgrade (bootloader) mode, shared by the
// built-in upgrade identities UPGRADE_VID/0x0001 and UPGRADE_VID/0x0180.
inline constexpr std::uint16_t UPGRADE_VID = 0x3A5C;
inline constexpr std::uint16_t kUpgradePid1 = 0x0001;
inline constexpr std::uint16_t kUpgradePid2 = 0x0180;

// Bound on the wait for one input report; a controller that stops answering
// fails the read with kErrorReadTimeout instead of hanging a thread.
inline constexpr std::uint32_t kReadTimeoutMs = 3000;

using Report = std::array<std::uint8_t, kReportSize>;

// Transport (log lines "out data:...", "In data:...", "Error code:0x%x").
[[nodiscard]] bool SendDataToDevice(HidHandle& device, Report& report, bool logOut);
[[nodiscard]] bool ReadDataFromDevice(HidHandle& device, Report& report);
// A command that expects a reply: input reports still queued from earlier
// exchanges are dropped first, so that the next report read is the reply to
// this command; then sent as SendDataToDevice with logOut.
[[nodiscard]] bool SendCommandToDevice(HidHandle& device, Report& report);
std::uint8_t GetOutputReportId(HidHandle& device);

// Fill bytes 1..4 with the frame of `code` (0xA5, code, 0x5A, ~code) and clear
// the rest of the payload; byte 0 is left as it is.
void BuildCommand(Report& report, std::uint8_t code);

// Command exchange: send (logged), pause 1 ms, clear the payload, read.
[[nodiscard]] bool CommandExchange(HidHandle& device, Report& report);

struct DeviceInfo {
    std::uint16_t updateId = 0;
    std::uint16_t fwVersion = 0;
    std::uint16_t subVersion = 0;
    float protocolVersion = 0.0f;
};

inline constexpr int kModeNormal = 0;
inline constexpr int kModeUpgrade = 1;

// mode 1: command 0xE1, fills records[0]; mode 0: string descriptor 255 (or
// 254), fills records[0..count).
[[nodiscard]] bool GetDeviceInfo(HidHandle& device, DeviceInfo* records, int mode, int count);

// The upgrade-mode query (command 0xE1) of a controller, asked again when it
// failed without the controller having gone silent or away: a controller
// just after its enumeration can drop one request. At most kInfoQueryTries
// tries, kInfoRetryPauseMs apart, each failed one logged.
inline constexpr int kInfoQueryTries = 3;
inline constexpr std::uint32_t kInfoRetryPauseMs = 100;
[[nodiscard]] bool QueryUpgradeModeInfo(HidHandle& device, DeviceInfo& record);

// Walk the present HID interfaces and return the first with this vid/pid
// whose information matches the configuration; outPath receives its path.
// With a `location`, only interfaces plugged in there are looked at.
DeviceHandle FindHidDevice(std::uint16_t vid, std::uint16_t pid, const PackageConfig& config,
                           std::string& outPath, int mode, const std::string& location = {});

// Ask the normal-mode controller of `slot` to restart in upgrade mode. The
// rumble form is left out when `allowRumble` is false.
[[nodiscard]] bool EnterBootLoader(const DeviceSlot& slot, bool allowRumble = true);

}  // namespace fwu
