#define FWU_LOG_FILE "DeviceManager.cpp"

#include "device/DeviceManager.h"

#include <algorithm>
#include <vector>

#include "base/bytes.h"
#include "base/pause.h"
#include "base/text.h"
#include "log/log.h"

namespace fwu {
namespace {

// A read waits in slices of this length so that a shutdown or a removal ends
// it quickly.
constexpr std::uint32_t kReadSliceMs = 50;

constexpr std::uint8_t kCommandDeviceInfo = 0xE1;
constexpr std::size_t kStringBufferSize = 126;
constexpr std::size_t kEntrySize = 8;
constexpr std::uint16_t kProtocol2Marker = 0x0235;

constexpr std::size_t kSwitchReportSize = 64;
constexpr int kSwitchSendings = 5;
constexpr int kVibrationSteps = 100;

// Bytes 1 to 12 of a report, as the transport's log lines show them.
std::string PayloadText(const char* prefix, const Report& report) {
    return Format(
        "%s:[0x:%x],[0x:%x],[0x:%x],[0x:%x],[0x:%x],[0x:%x],[0x:%x],[0x:%x],[0x:%x],[0x:%x],"
        "[0x:%x],[0x:%x]",
        prefix, report[1], report[2], report[3], report[4], report[5], report[6], report[7],
        report[8], report[9], report[10], report[11], report[12]);
}

// A device reports "no value" as 0xFFFF.
std::uint16_t VersionWord(std::uint16_t v) {
    return v == 0xFFFF ? 0 : v;
}

bool GetUpgradeModeInfo(HidHandle& device, DeviceInfo& record) {
    Report report{};
    report[0] = GetOutputReportId(device);
    BuildCommand(report, kCommandDeviceInfo);
    if (!CommandExchange(device, report)) return false;

    const ByteView reply(report.data(), report.size());
    record.updateId = ReadBe16(reply, 5).value_or(0);
    record.fwVersion = VersionWord(ReadBe16(reply, 7).value_or(0));
    record.subVersion = VersionWord(ReadBe16(reply, 9).value_or(0));
    record.protocolVersion = ReadBe16(reply, 13).value_or(0) == kProtocol2Marker ? 2.0f : 1.0f;
    return true;
}

bool GetNormalModeInfo(HidHandle& device, DeviceInfo* records, int count) {
    if (device.gone()) return false;
    std::array<std::uint8_t, kStringBufferSize> buffer{};
    IHidDevice& io = device.io();
    if (!io.GetIndexedString(255, buffer.data(), buffer.size())) {
        buffer.fill(0);
        if (!io.GetIndexedString(254, buffer.data(), buffer.size())) return false;
    }
    // The configuration carries at most kMaxImages identifiers.
    const int n = std::clamp(count, 0, kMaxImages);
    const ByteView content(buffer.data(), buffer.size());
    for (int i = 0; i < n; ++i) {
        const std::size_t at = kEntrySize * static_cast<std::size_t>(i);
        records[i].updateId = ReadBe16(content, at).value_or(0);
        records[i].fwVersion = VersionWord(ReadBe16(content, at + 2).value_or(0));
        records[i].subVersion = VersionWord(ReadBe16(content, at + 4).value_or(0));
    }
    return true;
}

// Five reads of string descriptor `index` with the lengths 14 to 18.
bool StringRequest(HidHandle& device, std::uint8_t index) {
    for (std::size_t length = 14; length <= 18; ++length) {
        if (device.gone()) return false;
        std::array<std::uint8_t, kReportSize> buffer{};
        const bool ok = device.io().GetIndexedString(index, buffer.data(), length);
        PauseMs(2);
        if (!ok) return false;
    }
    return true;
}

// The vendor switch report, five times with a running counter.
bool SwitchReports(HidHandle& device) {
    const std::uint8_t reportId = GetOutputReportId(device);
    for (int k = 0; k < kSwitchSendings; ++k) {
        if (device.gone()) return false;
        std::array<std::uint8_t, kSwitchReportSize> report{};
        report[0] = reportId;
        report[1] = 0xB0;
        report[2] = 0x07;
        report[3] = 0x4F;
        report[4] = 0xF8;
        report[5] = static_cast<std::uint8_t>(0x10 + k);
        const bool ok = device.io().SetOutputReport(report.data(), report.size());
        PauseMs(2);
        if (!ok) return false;
    }
    return true;
}

struct MotorSpeeds {
    std::uint16_t left;
    std::uint16_t right;
};

MotorSpeeds PatternA(int s) {
    return {static_cast<std::uint16_t>(256 * (s + 1)), static_cast<std::uint16_t>(256 * (254 - s))};
}

std::uint16_t PatternBLeft(int s) {
    if (s >= 99) return 0xFF00;
    return static_cast<std::uint16_t>(65024u * static_cast<std::uint32_t>(s + 2) / 100u);
}

// Pattern B's right motor runs the left one's ramp backwards.
MotorSpeeds PatternB(int s) {
    return {PatternBLeft(s), PatternBLeft(99 - s)};
}

bool RunVibration(const DeviceSlot& slot, MotorSpeeds (*pattern)(int)) {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    if (!slot.hidDevice || slot.hidDevice->gone() ||
        !slot.hidDevice->io().GetAttributes(vid, pid)) {
        return false;
    }
    IRumble& rumble = Rumble();
    // The game controller of the slot's own device where the platform can
    // tell it (none: this form is not tried); otherwise the lowest connected
    // user index, whichever controller that is.
    int index = rumble.UserIndexFor(slot.hidDevice->path());
    if (index == IRumble::kNoLink) {
        index = 0;
        while (index < 4 && !rumble.IsConnected(static_cast<unsigned>(index))) ++index;
        if (index == 4) return false;
    }
    if (index < 0) return false;
    const auto user = static_cast<unsigned>(index);

    bool accepted = true;
    for (int s = 0; s < kVibrationSteps; ++s) {
        const MotorSpeeds step = pattern(s);
        if (!rumble.SetState(user, step.left, step.right)) {
            accepted = false;
            break;
        }
        PauseMs(10);
    }
    rumble.SetState(user, 0, 0);
    return accepted;
}

}  // namespace

bool SendDataToDevice(HidHandle& device, Report& report, bool logOut) {
    if (logOut) FWU_LOG(PayloadText("out data", report));
    std::uint32_t error = 0;
    if (device.gone()) {
        error = kErrorDeviceGone;
    } else if (!device.io().Write(report.data(), report.size())) {
        error = device.io().LastError();
    } else {
        return true;
    }
    FWU_LOGF("Error code:0x%x", static_cast<unsigned>(error));
    device.SetLastTransferError(error);
    return false;
}

bool SendCommandToDevice(HidHandle& device, Report& report) {
    if (!device.gone()) device.io().DropQueuedInput();
    return SendDataToDevice(device, report, true);
}

bool ReadDataFromDevice(HidHandle& device, Report& report) {
    std::uint32_t error = 0;
    std::uint32_t waited = 0;
    for (;;) {
        if (device.gone()) {
            error = kErrorDeviceGone;
            break;
        }
        if (CancelRequested()) {
            error = kErrorCancelled;
            break;
        }
        if (waited >= kReadTimeoutMs) {
            error = kErrorReadTimeout;
            break;
        }
        const std::uint32_t slice = std::min(kReadSliceMs, kReadTimeoutMs - waited);
        const ReadStatus status = device.io().Read(report.data(), report.size(), slice);
        if (status == ReadStatus::Ok) {
            FWU_LOG(PayloadText("In data", report));
            return true;
        }
        if (status == ReadStatus::Failed) {
            error = device.io().LastError();
            break;
        }
        waited += slice;
    }
    FWU_LOGF("Error code:0x%x", static_cast<unsigned>(error));
    device.SetLastTransferError(error);
    return false;
}

std::uint8_t GetOutputReportId(HidHandle& device) {
    if (device.gone()) return 0;
    return device.io().OutputReportId();
}

void BuildCommand(Report& report, std::uint8_t code) {
    std::fill(report.begin() + 1, report.end(), std::uint8_t{0});
    report[1] = 0xA5;
    report[2] = code;
    report[3] = 0x5A;
    report[4] = static_cast<std::uint8_t>(code ^ 0xFF);
}

bool CommandExchange(HidHandle& device, Report& report) {
    if (!SendCommandToDevice(device, report)) return false;
    PauseMs(1);
    std::fill(report.begin() + 1, report.end(), std::uint8_t{0});
    return ReadDataFromDevice(device, report);
}

bool GetDeviceInfo(HidHandle& device, DeviceInfo* records, int mode, int count) {
    if (records == nullptr) return false;
    if (mode == kModeUpgrade) {
        // Exactly one record, the first, whatever the count.
        DeviceInfo info = records[0];
        if (!GetUpgradeModeInfo(device, info)) return false;
        records[0] = info;
        return true;
    }
    if (mode == kModeNormal) return GetNormalModeInfo(device, records, count);
    return false;
}

bool QueryUpgradeModeInfo(HidHandle& device, DeviceInfo& record) {
    for (int attempt = 1;; ++attempt) {
        DeviceInfo info = record;
        if (GetDeviceInfo(device, &info, kModeUpgrade, 1)) {
            record = info;
            return true;
        }
        FWU_LOGF("Device info query failed, try %d of %d.", attempt, kInfoQueryTries);
        // A controller that stopped answering, or went away, or a tool that
        // is shutting down, is not asked again.
        const std::uint32_t error = device.lastTransferError();
        if (attempt >= kInfoQueryTries || device.gone() || error == kErrorReadTimeout ||
            error == kErrorDeviceGone || error == kErrorCancelled || CancelRequested()) {
            return false;
        }
        PauseMs(kInfoRetryPauseMs);
    }
}

DeviceHandle FindHidDevice(std::uint16_t vid, std::uint16_t pid, const PackageConfig& config,
                           std::string& outPath, int mode, const std::string& location) {
    const int idCount = static_cast<int>(
        std::min<std::uint32_t>(config.imageCount, static_cast<std::uint32_t>(kMaxImages)));
    auto accepted = [&](std::uint16_t updateId) {
        for (int k = 0; k < idCount; ++k) {
            if (config.updateId[k] == static_cast<std::uint32_t>(updateId)) return true;
        }
        return false;
    };

    for (const std::string& path : HidBackend().EnumeratePaths()) {
        if (!location.empty() && HidBackend().Location(path) != location) continue;
        DeviceHandle device = OpenDevice(path);
        if (!device) continue;
        std::uint16_t deviceVid = 0;
        std::uint16_t devicePid = 0;
        if (!device->io().GetAttributes(deviceVid, devicePid) || deviceVid != vid ||
            devicePid != pid) {
            continue;
        }

        bool match = false;
        if (mode == kModeUpgrade) {
            // A failed query leaves the record zero; the identifier decides
            // either way.
            DeviceInfo record{};
            static_cast<void>(QueryUpgradeModeInfo(*device, record));
            match = accepted(record.updateId);
        } else {
            // Records that stay zero (nothing readable) count as a blank
            // controller, which fits any configuration with an identifier.
            std::array<DeviceInfo, kMaxImages> records{};
            static_cast<void>(GetDeviceInfo(*device, records.data(), kModeNormal, idCount));
            for (int i = 0; i < idCount && !match; ++i) {
                const DeviceInfo& r = records[i];
                match = accepted(r.updateId) || (r.updateId == 0 && r.fwVersion == 0);
            }
        }
        if (match) {
            outPath = path;
            return device;
        }
    }
    return nullptr;
}

bool EnterBootLoader(const DeviceSlot& slot, bool allowRumble) {
    if (slot.hidDevice) {
        HidHandle& device = *slot.hidDevice;
        if (StringRequest(device, 254)) return true;
        if (StringRequest(device, 255)) return true;
        if (SwitchReports(device)) return true;
    }
    if (!allowRumble) return false;
    RunVibration(slot, PatternA);  // only a first nudge; pattern B decides
    PauseMs(10);
    return RunVibration(slot, PatternB);
}

}  // namespace fwu
