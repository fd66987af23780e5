#include "tools/simusb/usb_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string_view>

#include "base/bytes.h"

namespace fwu::usbip {
namespace {

constexpr std::int32_t kStall = -EPIPE;

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
// HID class requests.
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kSetIdle = 0x0A;
constexpr std::uint8_t kReportTypeOutput = 0x02;

constexpr std::uint8_t kDescDevice = 0x01;
constexpr std::uint8_t kDescConfig = 0x02;
constexpr std::uint8_t kDescString = 0x03;
constexpr std::uint8_t kDescInterface = 0x04;
constexpr std::uint8_t kDescEndpoint = 0x05;
constexpr std::uint8_t kDescHid = 0x21;
constexpr std::uint8_t kDescReport = 0x22;

constexpr std::uint8_t kRecipientDevice = 0;
constexpr std::uint8_t kRecipientInterface = 1;

constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::size_t kHidDescriptorSize = 9;

Transfer Stall() {
    Transfer t;
    t.status = kStall;
    return t;
}

Transfer Ack(std::size_t accepted = 0) {
    Transfer t;
    t.actual = static_cast<std::int32_t>(accepted);
    return t;
}

// IN data, cut to what the host asked for.
Transfer Reply(std::vector<std::uint8_t> data, std::uint16_t length) {
    if (data.size() > length) data.resize(length);
    Transfer t;
    t.actual = static_cast<std::int32_t>(data.size());
    t.data = std::move(data);
    return t;
}

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::vector<std::uint8_t> StringDescriptor(std::string_view ascii) {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * ascii.size()), kDescString};
    for (const char ch : ascii) PutLe16(out, static_cast<std::uint8_t>(ch));
    return out;
}

}  // namespace

// ------------------------------------------------------------ CommitLog

void CommitLog::Observe(int ic, std::span<const std::uint8_t> r) {
    if (r.size() < 9 || r[1] != 0xA5 || r[3] != 0x5A || r[4] != (r[2] ^ 0xFF)) return;
    if (r[2] == 0xE3) address_[ic] = LoadLe32(r.data() + 5);
    if (r[2] == 0xE4) {
        const auto it = address_.find(ic);
        if (it != address_.end()) committed_[ic] = it->second;
    }
}

std::optional<std::uint32_t> CommitLog::LastCommitted(int ic) const {
    const auto it = committed_.find(ic);
    if (it == committed_.end()) return std::nullopt;
    return it->second;
}

// --------------------------------------------------------- SimUsbDevice

SimUsbDevice::SimUsbDevice(sim::SimBackend& sim, std::size_t index, const DeviceOptions& options,
                           CommitLog* commits)
    : controller_(sim.Controller(index)),
      options_(options),
      commits_(commits),
      serial_(sim::SimSerialNumber(index)) {
    path_ = controller_.path();
    identity_ = controller_.identity();
    mode_ = controller_.mode();
    if (!path_.empty()) handle_ = sim.Open(path_);
}

bool SimUsbDevice::Gone() const {
    return controller_.path() != path_;
}

std::vector<std::uint8_t> SimUsbDevice::DeviceDescriptor() const {
    std::vector<std::uint8_t> d{18, kDescDevice};
    PutLe16(d, 0x0200);                                                   // USB 2.0
    d.insert(d.end(), {0, 0, 0, static_cast<std::uint8_t>(kMaxPacket)});  // class per interface
    PutLe16(d, identity_.vid);
    PutLe16(d, identity_.pid);
    PutLe16(d, 0x0100);  // device release
    d.insert(d.end(), {kStringManufacturer, kStringProduct, kStringSerial, 1});
    return d;
}

std::vector<std::uint8_t> SimUsbDevice::ReportDescriptor() const {
    static constexpr std::uint8_t kCollection[] = {
        0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
        0x09, 0x01,        // Usage (1)
        0xA1, 0x01,        // Collection (Application)
    };
    // The normal-mode firmware's output report is the 64-byte switch report
    // (ID included, as the HID class driver counts it): 63 data bytes. The
    // bootloader's reports carry 64 data bytes both ways.
    const std::uint8_t outputCount = mode_ == sim::Mode::Normal ? 0x3F : 0x40;
    const std::uint8_t reports[] = {
        0x15, 0x00,               // Logical Minimum (0)
        0x26, 0xFF,        0x00,  // Logical Maximum (255)
        0x75, 0x08,               // Report Size (8)
        0x95, 0x40,               // Report Count (64)
        0x09, 0x01,               // Usage (1)
        0x81, 0x02,               // Input (Data, Variable, Absolute)
        0x95, outputCount,        // Report Count
        0x09, 0x01,               // Usage (1)
        0x91, 0x02,               // Output (Data, Variable, Absolute)
        0xC0,                     // End Collection
    };
    // Appended byte by byte: gcc 12 (Release) reports out-of-bounds copies
    // inside a range insert into this growing vector that cannot happen.
    std::vector<std::uint8_t> d(std::begin(kCollection), std::end(kCollection));
    if (options_.reportId != 0) {
        d.push_back(0x85);  // Report ID
        d.push_back(options_.reportId);
    }
    for (const std::uint8_t b : reports) d.push_back(b);
    return d;
}

std::vector<std::uint8_t> SimUsbDevice::ConfigDescriptor() const {
    const std::uint8_t endpoints = options_.interruptOut ? 2 : 1;
    const std::uint16_t total =
        static_cast<std::uint16_t>(9 + 9 + kHidDescriptorSize + 7 * endpoints);
    std::vector<std::uint8_t> d{9, kDescConfig};
    PutLe16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});  // one interface, value 1, bus powered, 100 mA
    d.insert(d.end(), {9, kDescInterface, 0, 0, endpoints, 0x03, 0, 0, 0});  // HID, no boot
    d.insert(d.end(), {static_cast<std::uint8_t>(kHidDescriptorSize), kDescHid});
    PutLe16(d, 0x0111);                      // HID 1.11
    d.insert(d.end(), {0, 1, kDescReport});  // no country, one report descriptor
    PutLe16(d, static_cast<std::uint16_t>(ReportDescriptor().size()));
    d.insert(d.end(), {7, kDescEndpoint, kEndpointIn, 0x03});
    PutLe16(d, kMaxPacket);
    d.push_back(1);  // polled every frame
    if (options_.interruptOut) {
        d.insert(d.end(), {7, kDescEndpoint, kEndpointOut, 0x03});
        PutLe16(d, kMaxPacket);
        d.push_back(1);
    }
    return d;
}

Transfer SimUsbDevice::Control(const SetupPacket& packet, std::span<const std::uint8_t> out) {
    const Setup s = Setup::Parse(packet);
    const unsigned type = (s.requestType >> 5) & 0x3u;
    const unsigned recipient = s.requestType & 0x1Fu;
    if (type == 0) return Standard(s);
    if (type == 1 && recipient == kRecipientInterface && (s.index & 0xFF) == 0)
        return ClassRequest(s, out);
    return Stall();
}

Transfer SimUsbDevice::Standard(const Setup& s) {
    const unsigned recipient = s.requestType & 0x1Fu;
    const std::uint8_t descType = static_cast<std::uint8_t>(s.value >> 8);
    const std::uint8_t descIndex = static_cast<std::uint8_t>(s.value);
    switch (s.request) {
        case kGetStatus:
            return s.in() ? Reply({0, 0}, s.length) : Stall();
        case kClearFeature:
        case kSetAddress:
            return Ack();
        case kGetConfiguration:
            return Reply({configuration_}, s.length);
        case kSetConfiguration:
            if (s.value > 1) return Stall();
            configuration_ = static_cast<std::uint8_t>(s.value);
            return Ack();
        case kGetInterface:
            return Reply({0}, s.length);
        case kSetInterface:
            return s.value == 0 && s.index == 0 ? Ack() : Stall();
        case kGetDescriptor:
            break;
        default:
            return Stall();
    }
    if (recipient == kRecipientInterface) {
        if ((s.index & 0xFF) != 0) return Stall();
        if (descType == kDescReport) return Reply(ReportDescriptor(), s.length);
        if (descType == kDescHid) {
            const std::vector<std::uint8_t> config = ConfigDescriptor();
            return Reply(std::vector<std::uint8_t>(config.begin() + 18,
                                                   config.begin() + 18 + kHidDescriptorSize),
                         s.length);
        }
        return Stall();
    }
    if (recipient != kRecipientDevice) return Stall();
    switch (descType) {
        case kDescDevice:
            return Reply(DeviceDescriptor(), s.length);
        case kDescConfig:
            return descIndex == 0 ? Reply(ConfigDescriptor(), s.length) : Stall();
        case kDescString:
            if (descIndex == 0) {
                std::vector<std::uint8_t> table{4, kDescString};
                PutLe16(table, kLanguageEnglishUs);
                return Reply(table, s.length);
            }
            if (descIndex == kStringManufacturer)
                return Reply(StringDescriptor("Simulated"), s.length);
            if (descIndex == kStringProduct)
                return Reply(
                    StringDescriptor(mode_ == sim::Mode::Upgrade ? "Game controller (bootloader)"
                                                                 : "Game controller"),
                    s.length);
            if (descIndex == kStringSerial) return Reply(StringDescriptor(serial_), s.length);
            return ControllerString(descIndex, s.length);
        default:
            // Device qualifier, other-speed configuration, BOS: a full-speed
            // USB 2.0 device has none.
            return Stall();
    }
}

Transfer SimUsbDevice::ControllerString(std::uint8_t index, std::uint16_t length) {
    if (!handle_) return Stall();
    // The firmware's own strings: the controller sees the request with the
    // host's length and fills at most that much.
    const std::size_t size = std::min<std::size_t>(controller_.StringSize(index), 253);
    std::vector<std::uint8_t> content(std::max<std::size_t>(length, 1), 0);
    if (!handle_->GetIndexedString(index, content.data(), length)) {
        Transfer t = Stall();
        t.unanswered = Gone();
        return t;
    }
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + size), kDescString};
    d.insert(d.end(), content.begin(),
             content.begin() + static_cast<std::ptrdiff_t>(std::min(size, content.size())));
    return Reply(std::move(d), length);
}

Transfer SimUsbDevice::ClassRequest(const Setup& s, std::span<const std::uint8_t> out) {
    if (s.request == kSetIdle && !s.in()) return Ack();
    if (s.request == kSetReport && !s.in() && (s.value >> 8) == kReportTypeOutput)
        return OutputReport(out, true);
    return Stall();
}

Transfer SimUsbDevice::InterruptOut(std::span<const std::uint8_t> data) {
    return OutputReport(data, false);
}

Transfer SimUsbDevice::OutputReport(std::span<const std::uint8_t> data, bool controlPipe) {
    if (!handle_) return Stall();
    // The report as the firmware sees it: byte 0 the report ID (0 on a
    // device without IDs, whose reports arrive without it), then the bytes
    // that actually arrived.
    const std::size_t prefix = options_.reportId == 0 ? 1 : 0;
    std::vector<std::uint8_t> report(prefix + data.size(), 0);
    if (!data.empty()) std::memcpy(report.data() + prefix, data.data(), data.size());
    bool ok = false;
    if (mode_ == sim::Mode::Normal && controlPipe) {
        // Only SET_REPORT carries the switch report; its length is what the
        // host asked for, counting the ID.
        ok = handle_->SetOutputReport(report.data(), report.size());
    } else {
        if (report.size() > kReportSize) return Stall();
        report.resize(kReportSize, 0);  // a short report stays short: zeros follow
        const int ic = controller_.currentIc();
        ok = handle_->Write(report.data(), report.size());
        if (ok && mode_ == sim::Mode::Upgrade && commits_ != nullptr) commits_->Observe(ic, report);
    }
    if (!ok) {
        Transfer t = Stall();
        t.unanswered = Gone();
        return t;
    }
    return Ack(data.size());
}

std::optional<Transfer> SimUsbDevice::TakeInput(std::size_t maxLength) {
    if (!handle_ || Gone() || !controller_.InputPending()) return std::nullopt;
    std::array<std::uint8_t, kReportSize> report{};
    const ReadStatus status = handle_->Read(report.data(), report.size(), 0);
    if (status == ReadStatus::Timeout) return std::nullopt;  // it fell silent
    if (status == ReadStatus::Failed) {
        Transfer t = Stall();
        t.unanswered = Gone();
        return t;
    }
    // Numbered reports go out with their ID first; others without it.
    const std::size_t from = options_.reportId != 0 ? 0 : 1;
    std::vector<std::uint8_t> data(report.begin() + static_cast<std::ptrdiff_t>(from),
                                   report.end());
    if (data.size() > maxLength) data.resize(maxLength);
    Transfer t;
    t.actual = static_cast<std::int32_t>(data.size());
    t.data = std::move(data);
    return t;
}

}  // namespace fwu::usbip
