// Stop requests on Linux: SIGINT, SIGTERM and SIGHUP are blocked in every
// thread (HoldStopSignals, first thing in main) and read by one thread of the
// source through a signalfd, so that no signal can end the process at an
// arbitrary point; a pipe wakes the thread for Stop().
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace fwu {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::mutex g_heldMutex;
sigset_t g_held;  // the signals HoldStopSignals blocked
bool g_holding = false;

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

class SignalFdSource final : public IStopSignalSource {
  public:
    ~SignalFdSource() override { Stop(); }

    bool Start(StopRequestHandler handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable() || !handler) return false;
        sigset_t set;
        {
            std::lock_guard<std::mutex> held(g_heldMutex);
            if (!g_holding) return false;
            set = g_held;
        }
        signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (signalFd_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
            Release();
            return false;
        }
        handler_ = std::move(handler);
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        const char byte = 1;
        while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
        }
        // From inside the handler the thread cannot wait for itself: it ends
        // once the handler returns and a later Stop() (or the destructor)
        // collects it.
        if (std::this_thread::get_id() == thread_.get_id()) return;
        thread_.join();
        Release();
        handler_ = nullptr;
    }

  private:
    void Run() {
        for (;;) {
            pollfd fds[2] = {{wake_[0], POLLIN, 0}, {signalFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;
            signalfd_siginfo info{};
            if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
                continue;
            const int count = ++count_;
            handler_(StopRequest{count, SignalName(static_cast<int>(info.ssi_signo))});
        }
    }

    void Release() {
        for (int* fd : {&signalFd_, &wake_[0], &wake_[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    std::mutex mutex_;  // serialises Start and Stop
    std::thread thread_;
    StopRequestHandler handler_;
    int signalFd_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> count_{0};
};

}  // namespace

void HoldStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals) {
        // A signal the process was started with ignored (nohup, a background
        // job of a shell without job control) stays ignored: blocked, it
        // would be queued and read as a request.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&set, signal);
    }
    std::lock_guard<std::mutex> held(g_heldMutex);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    g_held = set;
    g_holding = true;
}

std::unique_ptr<IStopSignalSource> CreatePlatformStopSignals() {
    return std::make_unique<SignalFdSource>();
}

}  // namespace fwu
