// Game-controller rumble through evdev force feedback. The game controllers
// that can rumble, among /dev/input/event* in node order, take the user
// indexes 0 to 3; a motor pair is one FF_RUMBLE effect, uploaded again for
// every change and played (strong motor = left, weak motor = right).
// UserIndexFor ties the list to one controller: only the game controllers
// whose USB device is the HID interface's own USB device remain in it.
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/hid_path.h"
#include "platform/platform.h"

namespace fwu {
namespace {

constexpr unsigned kUserIndexes = 4;
// Each step renews the effect; should the tool stop renewing it (or die),
// the motors stop by themselves after this long.
constexpr std::uint16_t kEffectLengthMs = 1000;

bool TestBit(const std::vector<unsigned long>& bits, unsigned bit) {
    constexpr unsigned kBitsPerWord = sizeof(unsigned long) * 8;
    const unsigned word = bit / kBitsPerWord;
    return word < bits.size() && ((bits[word] >> (bit % kBitsPerWord)) & 1ul) != 0;
}

std::vector<unsigned long> EventBits(int fd, unsigned type, unsigned maxBit) {
    constexpr unsigned kBitsPerWord = sizeof(unsigned long) * 8;
    std::vector<unsigned long> bits(maxBit / kBitsPerWord + 1, 0);
    const auto bytes = static_cast<unsigned>(bits.size() * sizeof(unsigned long));
    if (::ioctl(fd, EVIOCGBIT(type, bytes), bits.data()) < 0)
        std::fill(bits.begin(), bits.end(), 0);
    return bits;
}

bool IsRumblingGameController(int fd) {
    const auto keys = EventBits(fd, EV_KEY, KEY_MAX);
    if (!TestBit(keys, BTN_GAMEPAD) && !TestBit(keys, BTN_JOYSTICK)) return false;
    return TestBit(EventBits(fd, EV_FF, FF_MAX), FF_RUMBLE);
}

// "eventN" names under /dev/input in numeric order.
std::vector<std::string> EventNodes() {
    std::vector<std::pair<unsigned long, std::string>> nodes;
    if (DIR* dir = ::opendir("/dev/input")) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("event", 0) != 0 || name.size() == 5 || name.size() > 14) continue;
            if (!std::all_of(name.begin() + 5, name.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                continue;
            }
            nodes.emplace_back(std::stoul(name.substr(5)), "/dev/input/" + name);
        }
        ::closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    for (auto& node : nodes) paths.push_back(std::move(node.second));
    return paths;
}

// The sysfs path of the USB device above the character device `devnum`
// (a hidraw or an evdev node); "" when it is not on the USB.
std::string UsbDeviceOf(dev_t devnum) {
    std::string syspath;
    udev* context = udev_new();
    if (context == nullptr) return syspath;
    if (udev_device* node = udev_device_new_from_devnum(context, 'c', devnum)) {
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
        const char* path = usb != nullptr ? udev_device_get_syspath(usb) : nullptr;
        if (path != nullptr) syspath = path;
        udev_device_unref(node);
    }
    udev_unref(context);
    return syspath;
}

class EvdevRumble final : public IRumble {
  public:
    ~EvdevRumble() override { CloseAll(); }

    bool IsConnected(unsigned userIndex) override {
        std::lock_guard<std::mutex> lock(mutex_);
        tiedTo_.reset();
        Rescan();
        return userIndex < pads_.size();
    }

    // The list is cut down to the game controllers of the HID interface's
    // USB device; index 0 is the first of them. An interface that is not on
    // the USB (or gone) has none.
    int UserIndexFor(const std::string& devicePath) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string usb;
        const auto parsed = ParseHidrawPath(devicePath);
        struct stat info {};
        if (parsed && ::stat(parsed->node.c_str(), &info) == 0 && S_ISCHR(info.st_mode))
            usb = UsbDeviceOf(info.st_rdev);
        tiedTo_ = usb;
        Rescan();
        return pads_.empty() ? kNone : 0;
    }

    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pads_.empty()) Rescan();
        if (userIndex >= pads_.size()) return false;
        Pad& pad = pads_[userIndex];

        if (left == 0 && right == 0) {
            if (pad.effectId < 0) return true;
            const bool stopped = Play(pad, 0);
            ::ioctl(pad.fd, EVIOCRMFF, pad.effectId);
            pad.effectId = -1;
            return stopped;
        }
        ff_effect effect{};
        effect.type = FF_RUMBLE;
        effect.id = pad.effectId;  // -1 uploads a new effect, else replaces ours
        effect.replay.length = kEffectLengthMs;
        effect.u.rumble.strong_magnitude = left;
        effect.u.rumble.weak_magnitude = right;
        if (::ioctl(pad.fd, EVIOCSFF, &effect) < 0) {
            if (errno == ENODEV) CloseAll();
            return false;
        }
        pad.effectId = effect.id;
        return Play(pad, 1);
    }

  private:
    struct Pad {
        int fd = -1;
        int effectId = -1;
    };

    bool Play(const Pad& pad, int value) {
        input_event event{};
        event.type = EV_FF;
        event.code = static_cast<std::uint16_t>(pad.effectId);
        event.value = value;
        return ::write(pad.fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
    }

    // Whether the open evdev node belongs to the device the list is tied to
    // (any, when it is not tied).
    bool InTiedDevice(int fd) const {
        if (!tiedTo_) return true;
        struct stat info {};
        if (tiedTo_->empty() || ::fstat(fd, &info) != 0) return false;
        return UsbDeviceOf(info.st_rdev) == *tiedTo_;
    }

    // Closing a node also removes the effects uploaded through it.
    void Rescan() {
        CloseAll();
        for (const std::string& node : EventNodes()) {
            if (pads_.size() == kUserIndexes) break;
            const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) continue;
            if (IsRumblingGameController(fd) && InTiedDevice(fd)) {
                pads_.push_back(Pad{fd, -1});
            } else {
                ::close(fd);
            }
        }
    }

    // A controller that went away drops the list; the next call scans again.
    void CloseAll() {
        for (const Pad& pad : pads_) ::close(pad.fd);
        pads_.clear();
    }

    std::mutex mutex_;
    std::vector<Pad> pads_;
    // The USB device (sysfs path) the list is tied to since UserIndexFor;
    // none: every game controller that rumbles.
    std::optional<std::string> tiedTo_;
};

}  // namespace

std::unique_ptr<IRumble> CreatePlatformRumble() {
    return std::make_unique<EvdevRumble>();
}

}  // namespace fwu
