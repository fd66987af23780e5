// Game-controller rumble through evdev force feedback. The game controllers
// that can rumble, among /dev/input/event* in node order, take the user
// indexes 0 to 3; a motor pair is one FF_RUMBLE effect, uploaded again for
// every change and played (strong motor = left, weak motor = right).
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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

class EvdevRumble final : public IRumble {
  public:
    ~EvdevRumble() override { CloseAll(); }

    bool IsConnected(unsigned userIndex) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Rescan();
        return userIndex < pads_.size();
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

    // Closing a node also removes the effects uploaded through it.
    void Rescan() {
        CloseAll();
        for (const std::string& node : EventNodes()) {
            if (pads_.size() == kUserIndexes) break;
            const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) continue;
            if (IsRumblingGameController(fd)) {
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
};

}  // namespace

std::unique_ptr<IRumble> CreatePlatformRumble() {
    return std::make_unique<EvdevRumble>();
}

}  // namespace fwu
