#include "platform/linux/hid_usb.h"

#include <libudev.h>
#include <libusb-1.0/libusb.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/pause.h"
#include "base/text.h"
#include "platform/diagnostics.h"
#include "platform/stop_signal.h"

namespace fwu {
namespace {

constexpr unsigned kControlTimeoutMs = 1000;
constexpr std::uint16_t kLangEnglishUs = 0x0409;
// Host to device, class request, to an interface.
constexpr std::uint8_t kClassOutToInterface = 0x21;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kReportTypeOutput = 0x02;
constexpr std::uint8_t kInterfaceClassHid = 0x03;
// Giving an interface back to its driver is tried this often, this far apart.
constexpr int kReattachTries = 4;
constexpr std::uint32_t kReattachRetryMs = 50;

// Test-only: FWU_TEST_DETACHED_PAUSE_MS=N pauses N ms (at most a minute)
// while the interface is off its driver, so that the kernel tier can stop or
// kill the tool inside that window. Read once; unset in every real use.
std::uint32_t DetachedPauseForTests() {
    static const std::uint32_t pause = [] {
        const char* text = std::getenv("FWU_TEST_DETACHED_PAUSE_MS");
        const unsigned long ms = text != nullptr ? std::strtoul(text, nullptr, 10) : 0;
        return static_cast<std::uint32_t>(ms > 60000 ? 60000 : ms);
    }();
    return pause;
}

int ErrnoOfUsb(int code) {
    switch (code) {
        case LIBUSB_ERROR_NO_DEVICE:
            return -ENODEV;
        case LIBUSB_ERROR_ACCESS:
            return -EACCES;
        case LIBUSB_ERROR_TIMEOUT:
            return -ETIMEDOUT;
        case LIBUSB_ERROR_PIPE:
            return -EPIPE;
        case LIBUSB_ERROR_NOT_FOUND:
            return -ENOENT;
        case LIBUSB_ERROR_NO_MEM:
            return -ENOMEM;
        case LIBUSB_ERROR_INVALID_PARAM:
            return -EINVAL;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return -EOPNOTSUPP;
        default:
            return -EIO;
    }
}

int SysattrInt(udev_device* device, const char* name, int base) {
    if (device == nullptr) return -1;
    const char* text = udev_device_get_sysattr_value(device, name);
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, base);
    if (end == text || value < 0 || value > 0xFFFF) return -1;
    return static_cast<int>(value);
}

std::string FirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// Whether the interface's sysfs directory lists an interrupt OUT endpoint
// ("ep_XX" entries with "direction" and "type" attributes).
bool HasInterruptOutEndpoint(const char* interfaceSyspath) {
    if (interfaceSyspath == nullptr) return false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(interfaceSyspath, ec)) {
        if (!entry.path().filename().string().starts_with("ep_")) continue;
        if (FirstLine(entry.path() / "direction") == "out" &&
            FirstLine(entry.path() / "type") == "Interrupt") {
            return true;
        }
    }
    return false;
}

}  // namespace

UsbLocation UsbLocationOfNode(dev_t rdev) {
    UsbLocation location;
    udev* context = udev_new();
    if (context == nullptr) return location;
    udev_device* node = udev_device_new_from_devnum(context, 'c', rdev);
    if (node != nullptr) {
        // Parents belong to `node` and are released with it.
        udev_device* usbDevice =
            udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
        udev_device* usbInterface =
            udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_interface");
        location.bus = SysattrInt(usbDevice, "busnum", 10);
        location.address = SysattrInt(usbDevice, "devnum", 10);
        if (usbDevice != nullptr) {
            const char* node = udev_device_get_devnode(usbDevice);
            if (node != nullptr) location.node = node;
        }
        location.interfaceNumber = SysattrInt(usbInterface, "bInterfaceNumber", 16);
        if (usbInterface != nullptr)
            location.interruptOut = HasInterruptOutEndpoint(udev_device_get_syspath(usbInterface));
        udev_device_unref(node);
    }
    udev_unref(context);
    return location;
}

UsbSession::~UsbSession() {
    if (context_ != nullptr) libusb_exit(context_);
}

libusb_context* UsbSession::Context() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (context_ == nullptr && !failed_) {
        if (libusb_init(&context_) != LIBUSB_SUCCESS) {
            context_ = nullptr;
            failed_ = true;
        }
    }
    return context_;
}

UsbControl::UsbControl(std::shared_ptr<UsbSession> session, UsbLocation location)
    : session_(std::move(session)), location_(location) {}

UsbControl::~UsbControl() {
    if (handle_ != nullptr) {
        // One more try for an interface still owed its driver.
        if (owedReattach_) {
            CriticalWindow window;
            libusb_attach_kernel_driver(handle_, location_.interfaceNumber);
        }
        libusb_close(handle_);
    }
    if (fd_ >= 0) ::close(fd_);
}

int UsbControl::EnsureOpen() {
    if (handle_ != nullptr) return 0;
    if (!location_.known() || !session_) return -ENODEV;
    libusb_context* context = session_->Context();
    if (context == nullptr) return -EIO;

    // The device's own node is opened and handed to libusb: libusb's list of
    // devices follows the udev daemon's events and misses devices that came
    // after it started where no udev daemon runs.
    if (!location_.node.empty()) {
        const int fd = ::open(location_.node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return -errno;
        const int rc = libusb_wrap_sys_device(context, static_cast<intptr_t>(fd), &handle_);
        if (rc != LIBUSB_SUCCESS) {
            handle_ = nullptr;
            ::close(fd);
            return ErrnoOfUsb(rc);
        }
        fd_ = fd;
        return 0;
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return ErrnoOfUsb(static_cast<int>(count));
    int result = -ENODEV;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        if (libusb_get_bus_number(device) == location_.bus &&
            libusb_get_device_address(device) == location_.address) {
            const int rc = libusb_open(device, &handle_);
            result = rc == LIBUSB_SUCCESS ? 0 : ErrnoOfUsb(rc);
            if (rc != LIBUSB_SUCCESS) handle_ = nullptr;
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return result;
}

int UsbControl::GetStringDescriptor(std::uint8_t index, std::uint8_t* data, std::size_t length) {
    if (length == 0 || length > 0xFFFF) return -EINVAL;
    if (const int rc = EnsureOpen(); rc < 0) return rc;
    const int rc = libusb_get_string_descriptor(handle_, index, kLangEnglishUs, data,
                                                static_cast<int>(length));
    return rc < 0 ? ErrnoOfUsb(rc) : rc;
}

int UsbControl::SetOutputReportDetached(std::uint8_t reportId, const std::uint8_t* data,
                                        std::size_t length) {
    if (length > 0xFFFF) return -EINVAL;
    if (location_.interfaceNumber < 0) return -ENODEV;
    if (const int rc = EnsureOpen(); rc < 0) return rc;
    const int iface = location_.interfaceNumber;
    // From the detach to the driver's return the controller has no driver:
    // a forced end of the process waits for the window to close (and
    // termination signals only ask the front end to stop).
    CriticalWindow window;
    const bool detached = libusb_kernel_driver_active(handle_, iface) == 1;
    if (detached) {
        if (const int rc = libusb_detach_kernel_driver(handle_, iface); rc != LIBUSB_SUCCESS)
            return rc == LIBUSB_ERROR_NOT_FOUND ? -EBUSY : ErrnoOfUsb(rc);
        owedReattach_ = true;
    }
    int result = -EBUSY;
    if (libusb_claim_interface(handle_, iface) == LIBUSB_SUCCESS) {
        if (const std::uint32_t pause = DetachedPauseForTests(); pause > 0) PauseMs(pause);
        std::vector<std::uint8_t> copy(data, data + length);  // libusb wants a writable buffer
        const int rc =
            libusb_control_transfer(handle_, kClassOutToInterface, kSetReport,
                                    static_cast<std::uint16_t>((kReportTypeOutput << 8) | reportId),
                                    static_cast<std::uint16_t>(iface), copy.data(),
                                    static_cast<std::uint16_t>(length), kControlTimeoutMs);
        result = rc < 0 ? ErrnoOfUsb(rc) : rc;
        libusb_release_interface(handle_, iface);
    }
    // Give the interface back to its driver, also when the request failed.
    if (owedReattach_ && Reattach(iface)) owedReattach_ = false;
    return result;
}

bool UsbControl::Reattach(int iface) {
    int rc = LIBUSB_SUCCESS;
    for (int attempt = 1; attempt <= kReattachTries; ++attempt) {
        if (attempt > 1) PauseMs(kReattachRetryMs);
        rc = libusb_attach_kernel_driver(handle_, iface);
        // A device that restarted on the request is gone and needs nothing.
        if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_NO_DEVICE) return true;
        // Refused because a kernel driver has it already: given back.
        if (libusb_kernel_driver_active(handle_, iface) == 1) return true;
    }
    FWU_PLATFORM_LOG(
        Format("USB device %d-%d interface %d: the HID driver could not be attached "
               "again (%s, %d tries); it is attached when the tool next finds the "
               "controller.",
               location_.bus, location_.address, iface, libusb_error_name(rc), kReattachTries));
    return false;
}

int ReattachUnboundHidInterfaces(UsbSession& session, const std::vector<HidIdentity>& identities) {
    struct Unbound {
        std::string name;  // the interface's sysfs name, "1-1:1.0"
        std::string node;  // its USB device's node
        int interfaceNumber = -1;
        int vid = -1;
        int pid = -1;
    };
    std::vector<Unbound> unbound;
    udev* context = identities.empty() ? nullptr : udev_new();
    if (context == nullptr) return 0;
    udev_enumerate* enumerate = udev_enumerate_new(context);
    if (enumerate != nullptr && udev_enumerate_add_match_subsystem(enumerate, "usb") >= 0 &&
        udev_enumerate_add_match_sysattr(enumerate, "bInterfaceClass", "03") >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            udev_device* iface =
                udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (iface == nullptr) continue;
            const char* type = udev_device_get_devtype(iface);
            udev_device* device =
                udev_device_get_parent_with_subsystem_devtype(iface, "usb", "usb_device");
            Unbound u;
            u.vid = SysattrInt(device, "idVendor", 16);
            u.pid = SysattrInt(device, "idProduct", 16);
            u.interfaceNumber = SysattrInt(iface, "bInterfaceNumber", 16);
            const char* node = device != nullptr ? udev_device_get_devnode(device) : nullptr;
            const char* name = udev_device_get_sysname(iface);
            bool wanted = false;
            for (const HidIdentity& id : identities)
                wanted = wanted || (u.vid == id.vid && u.pid == id.pid);
            if (wanted && type != nullptr && std::string(type) == "usb_interface" &&
                SysattrInt(iface, "bInterfaceClass", 16) == kInterfaceClassHid &&
                udev_device_get_driver(iface) == nullptr && node != nullptr &&
                u.interfaceNumber >= 0) {
                u.node = node;
                u.name = name != nullptr ? name : "";
                unbound.push_back(std::move(u));
            }
            udev_device_unref(iface);
        }
    }
    if (enumerate != nullptr) udev_enumerate_unref(enumerate);
    udev_unref(context);
    if (unbound.empty()) return 0;

    libusb_context* usb = session.Context();
    int restored = 0;
    for (const Unbound& u : unbound) {
        // The USB device's node, with the access the udev rules give.
        int rc = LIBUSB_ERROR_IO;
        const int fd = ::open(u.node.c_str(), O_RDWR | O_CLOEXEC);
        libusb_device_handle* handle = nullptr;
        if (fd < 0) {
            rc = errno == EACCES || errno == EPERM ? LIBUSB_ERROR_ACCESS : LIBUSB_ERROR_NO_DEVICE;
        } else if (usb != nullptr) {
            rc = libusb_wrap_sys_device(usb, static_cast<intptr_t>(fd), &handle);
        }
        bool bound = false;
        if (rc == LIBUSB_SUCCESS && handle != nullptr) {
            rc = libusb_attach_kernel_driver(handle, u.interfaceNumber);
            bound = libusb_kernel_driver_active(handle, u.interfaceNumber) == 1;
            libusb_close(handle);
        }
        if (fd >= 0) ::close(fd);
        if (bound) {
            ++restored;
            FWU_PLATFORM_LOG(
                Format("USB interface %s (Vid:0x%X,Pid:0x%X) had no driver: the HID "
                       "driver is attached again.",
                       u.name.c_str(), static_cast<unsigned>(u.vid), static_cast<unsigned>(u.pid)));
        } else {
            FWU_PLATFORM_LOG(
                Format("USB interface %s (Vid:0x%X,Pid:0x%X) has no driver and none "
                       "could be attached (%s).",
                       u.name.c_str(), static_cast<unsigned>(u.vid), static_cast<unsigned>(u.pid),
                       rc == LIBUSB_SUCCESS ? "no driver took it" : libusb_error_name(rc)));
        }
    }
    return restored;
}

}  // namespace fwu
