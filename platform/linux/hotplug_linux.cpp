// Arrival and removal of hidraw nodes, from a udev monitor watched by a thread
// of our own. A pipe wakes the thread so that Stop() returns promptly.
//
// Events come from the udev daemon once it has handled a device (its rules
// have given the node its owner and mode). Where no udev daemon runs
// (containers, minimal systems) they come straight from the kernel instead,
// and an arrival is handed on only once its device node is there.
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/pause.h"
#include "platform/linux/hid_udev.h"
#include "platform/platform.h"

namespace fwu {
namespace {

// How long an arrival waits for its device node, in slices.
constexpr int kNodeWaitSlices = 50;
constexpr std::uint32_t kNodeWaitSliceMs = 10;

bool UdevDaemonRunning(udev* context) {
    udev_queue* queue = udev_queue_new(context);
    if (queue == nullptr) return false;
    const bool active = udev_queue_get_udev_is_active(queue) != 0;
    udev_queue_unref(queue);
    return active;
}

// Waits (bounded) until `node` is the character device `devnum`.
bool WaitForNode(const char* node, dev_t devnum) {
    if (node == nullptr) return false;
    for (int i = 0; i < kNodeWaitSlices; ++i) {
        struct stat info {};
        if (::stat(node, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == devnum)
            return true;
        PauseMs(kNodeWaitSliceMs);
    }
    return false;
}

class UdevHotplug final : public IHotplugSource {
  public:
    ~UdevHotplug() override { Stop(); }

    bool Start(HotplugCallback callback) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable() || !callback) return false;

        context_ = udev_new();
        if (context_ != nullptr) {
            fromKernel_ = !UdevDaemonRunning(context_);
            monitor_ = udev_monitor_new_from_netlink(context_, fromKernel_ ? "kernel" : "udev");
        }
        if (monitor_ == nullptr ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
            Release();
            return false;
        }
        callback_ = std::move(callback);
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        const char byte = 1;
        while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
        }
        // From inside the callback the thread cannot wait for itself: it ends
        // once the callback returns and a later Stop() (or the destructor)
        // collects it.
        if (std::this_thread::get_id() == thread_.get_id()) return;
        thread_.join();
        Release();
        callback_ = nullptr;
    }

  private:
    void Run() {
        const int monitorFd = udev_monitor_get_fd(monitor_);
        for (;;) {
            pollfd fds[2] = {{wake_[0], POLLIN, 0}, {monitorFd, POLLIN, 0}};
            const int polled = ::poll(fds, 2, -1);
            if (polled < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;
            if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
            if ((fds[1].revents & POLLIN) == 0) continue;

            udev_device* device = udev_monitor_receive_device(monitor_);
            if (device == nullptr) continue;
            const char* action = udev_device_get_action(device);
            const std::string path = HidrawPathOf(device);
            const bool add = action != nullptr && std::strcmp(action, "add") == 0;
            const bool ready =
                !add || !fromKernel_ ||
                WaitForNode(udev_device_get_devnode(device), udev_device_get_devnum(device));
            udev_device_unref(device);
            if (action == nullptr || path.empty()) continue;
            if (add) {
                if (ready) callback_(HotplugEvent::Arrival, path);
            } else if (std::strcmp(action, "remove") == 0) {
                callback_(HotplugEvent::Removal, path);
            }
        }
    }

    void Release() {
        if (monitor_ != nullptr) udev_monitor_unref(monitor_);
        if (context_ != nullptr) udev_unref(context_);
        monitor_ = nullptr;
        context_ = nullptr;
        for (int& fd : wake_) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }

    std::mutex mutex_;  // serialises Start and Stop
    std::thread thread_;
    HotplugCallback callback_;
    udev* context_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool fromKernel_ = false;  // no udev daemon: events straight from the kernel
    int wake_[2] = {-1, -1};
};

}  // namespace

std::unique_ptr<IHotplugSource> CreatePlatformHotplug() {
    return std::make_unique<UdevHotplug>();
}

}  // namespace fwu
