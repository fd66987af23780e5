// HID access on Linux through hidraw: libudev lists the nodes, reports move
// with read()/write() on the node, the report descriptor and the identifiers
// come from hidraw ioctls, and string descriptors and SET_REPORT go to the
// USB device's control pipe through libusb.
#include "platform/linux/hid_linux.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/hid_lock.h"
#include "platform/linux/hid_descriptor.h"
#include "platform/linux/hid_path.h"
#include "platform/linux/hid_udev.h"
#include "platform/linux/hid_usb.h"
#include "platform/platform.h"

namespace fwu {
namespace {

constexpr std::uint8_t kStringDescriptorType = 0x03;
// More queued reports than any controller sends unasked between two requests.
constexpr int kMaxDroppedReports = 256;

class HidrawDevice final : public IHidDevice {
  public:
    HidrawDevice(int fd, ReportDescriptorInfo descriptor, std::unique_ptr<UsbControl> usb,
                 std::unique_ptr<HidLock> lock)
        : fd_(fd), descriptor_(descriptor), usb_(std::move(usb)), lock_(std::move(lock)) {}
    ~HidrawDevice() override { ::close(fd_); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    bool Write(const std::uint8_t* report, std::size_t length) override {
        // The whole report goes to hidraw with its ID in the first byte, 0
        // included: the kernel takes that byte as the report ID and sends it
        // only when it is not 0. Leaving a 0 out here would make the kernel
        // strip the first payload byte instead whenever that byte is 0.
        if (report == nullptr || length < 2) return Fail(EINVAL);
        ssize_t written;
        do {
            written = ::write(fd_, report, length);
        } while (written < 0 && errno == EINTR);
        if (written < 0) return Fail(errno);
        if (static_cast<std::size_t>(written) != length) return Fail(EIO);
        return true;
    }

    void DropQueuedInput() override {
        // Each open node keeps its own queue of input reports; take what is
        // there without waiting. Bounded, so a device that never stops
        // sending cannot hold the caller here.
        std::array<std::uint8_t, kReportSize + 1> scratch{};
        for (int i = 0; i < kMaxDroppedReports; ++i) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 0) <= 0 || (pfd.revents & POLLIN) == 0) return;
            if (::read(fd_, scratch.data(), scratch.size()) <= 0) return;
        }
    }

    ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) override {
        if (report == nullptr || length < 2) {
            Fail(EINVAL);
            return ReadStatus::Failed;
        }
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            pollfd pfd{fd_, POLLIN, 0};
            const int ready =
                ::poll(&pfd, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
            if (ready < 0) {
                if (errno == EINTR) continue;
                Fail(errno);
                return ReadStatus::Failed;
            }
            if (ready == 0) return ReadStatus::Timeout;
            if ((pfd.revents & POLLIN) == 0) {
                // POLLHUP/POLLERR: the device went away.
                Fail(ENODEV);
                return ReadStatus::Failed;
            }
            // Devices without numbered reports deliver the payload alone;
            // the caller always gets the ID (0) in byte 0.
            std::uint8_t* target = descriptor_.numberedReports ? report : report + 1;
            const std::size_t room = descriptor_.numberedReports ? length : length - 1;
            const ssize_t got = ::read(fd_, target, room);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                Fail(errno);
                return ReadStatus::Failed;
            }
            if (got == 0) {
                Fail(ENODEV);
                return ReadStatus::Failed;
            }
            if (!descriptor_.numberedReports) report[0] = 0;
            // A short report leaves no stale bytes of an earlier one behind.
            const std::size_t filled = static_cast<std::size_t>(got) + (target - report);
            std::fill(report + filled, report + length, std::uint8_t{0});
            return ReadStatus::Ok;
        }
    }

    std::uint8_t OutputReportId() override { return descriptor_.outputReportId; }

    bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer, std::size_t length) override {
        if (buffer == nullptr || length < 2) return Fail(EINVAL);
        if (!usb_) return Fail(ENODEV);
        // The requested length goes to the device as the request's length;
        // the content after the two-byte header is what the caller receives.
        std::vector<std::uint8_t> raw(length, 0);
        const int got = usb_->GetStringDescriptor(index, raw.data(), raw.size());
        if (got < 0) return Fail(-got);
        if (got < 2 || raw[1] != kStringDescriptorType || raw[0] < 2) return Fail(EPROTO);
        const std::size_t total = std::min<std::size_t>(static_cast<std::size_t>(got), raw[0]);
        std::copy(raw.begin() + 2, raw.begin() + static_cast<std::ptrdiff_t>(total), buffer);
        return true;
    }

    // The output report of a requested length must reach the device as a
    // SET_REPORT request on its control pipe. Which way the bytes go:
    //  - no interrupt OUT endpoint: HIDIOCSOUTPUT; usbhid has no other route
    //    for an output report and sends it as SET_REPORT(Output) on the
    //    control pipe;
    //  - an interrupt OUT endpoint and a USB device we may open: usbhid would
    //    send HIDIOCSOUTPUT on that endpoint, and the kernel refuses a class
    //    request through usbfs to an interface usbhid owns, so usbhid is
    //    detached from the interface for this one request and attached again
    //    straight after (the hidraw node is then created anew);
    //  - otherwise (no access to the USB device, or not a USB device):
    //    HIDIOCSOUTPUT, the only route left, on the interrupt endpoint.
    // A report ID of 0 is not sent as a byte on either pipe.
    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length < 2) return Fail(EINVAL);
        if (usb_ && usb_->HasInterruptOut() && usb_->Available()) {
            const std::uint8_t id = report[0];
            const std::uint8_t* data = id == 0 ? report + 1 : report;
            const std::size_t size = id == 0 ? length - 1 : length;
            const int sent = usb_->SetOutputReportDetached(id, data, size);
            if (sent >= 0) {
                if (static_cast<std::size_t>(sent) != size) return Fail(EIO);
                return true;
            }
            // The interface could not be taken over: this is no fault of
            // the device, so the request goes the remaining way.
            if (sent != -EACCES && sent != -EBUSY && sent != -EPERM) return Fail(-sent);
        }
        if (length >= (1u << _IOC_SIZEBITS)) return Fail(EINVAL);
        std::vector<std::uint8_t> copy(report, report + length);
        if (::ioctl(fd_, HIDIOCSOUTPUT(length), copy.data()) < 0) return Fail(errno);
        return true;
    }

    bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) override {
        hidraw_devinfo info{};
        if (::ioctl(fd_, HIDIOCGRAWINFO, &info) < 0) return Fail(errno);
        vid = static_cast<std::uint16_t>(info.vendor);
        pid = static_cast<std::uint16_t>(info.product);
        return true;
    }

    std::uint32_t LastError() const override { return lastError_.load(); }

  private:
    bool Fail(int error) {
        lastError_.store(static_cast<std::uint32_t>(error));
        return false;
    }

    int fd_;
    ReportDescriptorInfo descriptor_;
    std::unique_ptr<UsbControl> usb_;
    std::unique_ptr<HidLock> lock_;  // let go after fd_ has closed
    std::atomic<std::uint32_t> lastError_{0};
};

// What the descriptor of an open node says; zeros when it cannot be read.
ReportDescriptorInfo ReadDescriptorInfo(int fd) {
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return {};
    hidraw_report_descriptor descriptor{};
    descriptor.size =
        static_cast<std::uint32_t>(std::min<int>(size, static_cast<int>(sizeof(descriptor.value))));
    if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return {};
    return ParseReportDescriptor(std::span<const std::uint8_t>(descriptor.value, descriptor.size));
}

class HidrawBackend final : public IHidBackend {
  public:
    std::vector<std::string> EnumeratePaths() override {
        std::vector<std::pair<std::string, std::string>> found;  // sysname, path
        udev* context = udev_new();
        if (context == nullptr) return {};
        udev_enumerate* enumerate = udev_enumerate_new(context);
        if (enumerate != nullptr && udev_enumerate_add_match_subsystem(enumerate, "hidraw") >= 0 &&
            udev_enumerate_scan_devices(enumerate) >= 0) {
            udev_list_entry* entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
                udev_device* device =
                    udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
                if (device == nullptr) continue;
                std::string path = HidrawPathOf(device);
                const char* sysname = udev_device_get_sysname(device);
                if (!path.empty()) found.emplace_back(sysname != nullptr ? sysname : "", path);
                udev_device_unref(device);
            }
        }
        if (enumerate != nullptr) udev_enumerate_unref(enumerate);
        udev_unref(context);

        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return HidrawNameLess(a.first, b.first); });
        std::vector<std::string> paths;
        paths.reserve(found.size());
        for (auto& item : found) paths.push_back(std::move(item.second));
        return paths;
    }

    std::unique_ptr<IHidDevice> Open(const std::string& path) override {
        const auto parsed = ParseHidrawPath(path);
        if (!parsed) return nullptr;
        const int fd = ::open(parsed->node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat info {};
        hidraw_devinfo ids{};
        // Node names are reused: the node must still be the device the path
        // names, not one that took its name after a re-enumeration.
        if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) ||
            ::ioctl(fd, HIDIOCGRAWINFO, &ids) < 0 ||
            ((parsed->vid != 0 || parsed->pid != 0) &&
             (static_cast<std::uint16_t>(ids.vendor) != parsed->vid ||
              static_cast<std::uint16_t>(ids.product) != parsed->pid))) {
            ::close(fd);
            return nullptr;
        }
        // Another process drives this controller: leave it alone. Where no
        // lock can be made (no flock here) the node is used without one.
        std::unique_ptr<HidLock> lock;
        if (AcquireHidLock(fd, lock) == HidLockResult::LockedByOther) {
            ::close(fd);
            return nullptr;
        }
        auto usb = std::make_unique<UsbControl>(usb_, UsbLocationOfNode(info.st_rdev));
        return MakeHidrawDevice(fd, ReadDescriptorInfo(fd), std::move(usb), std::move(lock));
    }

    bool AccessDenied(const std::string& path) override {
        const auto parsed = ParseHidrawPath(path);
        if (!parsed) return false;
        return ::access(parsed->node.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
    }

    // The USB port carried in the path itself (hid_path.h).
    std::string Location(const std::string& path) override {
        const auto parsed = ParseHidrawPath(path);
        return parsed ? parsed->port : std::string();
    }

    bool LockedByOther(const std::string& path) override {
        const auto parsed = ParseHidrawPath(path);
        return parsed && HidLockedByOther(parsed->node);
    }

    int RestoreDrivers(const std::vector<HidIdentity>& identities) override {
        return ReattachUnboundHidInterfaces(*usb_, identities);
    }

    std::string SerialNumber(const std::string& path) override {
        const auto parsed = ParseHidrawPath(path);
        struct stat info {};
        if (!parsed || ::stat(parsed->node.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
            return {};
        return UsbSerialOfNode(info.st_rdev, parsed->vid, parsed->pid);
    }

  private:
    std::shared_ptr<UsbSession> usb_ = std::make_shared<UsbSession>();
};

}  // namespace

std::unique_ptr<IHidDevice> MakeHidrawDevice(int fd, ReportDescriptorInfo descriptor,
                                             std::unique_ptr<UsbControl> usb,
                                             std::unique_ptr<HidLock> lock) {
    return std::make_unique<HidrawDevice>(fd, descriptor, std::move(usb), std::move(lock));
}

std::unique_ptr<IHidBackend> CreatePlatformHidBackend() {
    return std::make_unique<HidrawBackend>();
}

}  // namespace fwu
