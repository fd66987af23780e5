#include "tools/simusb/server.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "base/pause.h"

namespace fwu::usbip {
namespace {

// Longest the host may take to send the rest of a message it has begun, or
// to make room for an answer, before the connection counts as broken.
constexpr int kIoTimeoutMs = 2000;
// The largest OUT data stage this device takes (its reports are 65 bytes).
constexpr std::int32_t kMaxOutData = 4096;
// A plugged-in device waits this long for the host to take its last answers
// before it leaves, like a controller that restarts a moment after replying.
constexpr std::uint32_t kDrainLimitMs = 1000;
constexpr std::uint32_t kLeaveDelayMs = 20;
constexpr int kAttachTries = 30;
constexpr std::uint32_t kAttachRetryMs = 100;
constexpr std::uint32_t kVdevStatusFree = 4;
constexpr char kNoFreePort[] = "no free high-speed port on ";

// Reads exactly `n` bytes; false on end of stream, error or a stalled peer.
bool ReadExact(int fd, std::uint8_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, kIoTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t r = ::recv(fd, out + got, n - got, 0);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t w = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w >= 0) {
            sent += static_cast<std::size_t>(w);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, kIoTimeoutMs);
        if (ready == 0 || (ready < 0 && errno != EINTR)) return false;
    }
    return true;
}

bool WriteSysfs(const std::string& path, const std::string& text, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t w = ::write(fd, text.data(), text.size());
    const int saved = errno;
    ::close(fd);
    if (w != static_cast<ssize_t>(text.size())) {
        error = path + ": " + std::strerror(w < 0 ? saved : EIO);
        return false;
    }
    return true;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 0xF];
    }
    return out.empty() ? std::string("-") : out;
}

const char* ModeName(sim::Mode mode) {
    switch (mode) {
        case sim::Mode::Normal:
            return "normal";
        case sim::Mode::Upgrade:
            return "upgrade";
        default:
            return "absent";
    }
}

}  // namespace

// --------------------------------------------------------------- VhciBus

int VhciBus::Attach(std::uint32_t devid, std::string& error) {
    Detach();
    // Lines "hs  0000 004 000 00000000 000000 0-0": hub, port, state, ...
    std::ifstream status(dir_ + "/status");
    if (!status) {
        error = dir_ + "/status: cannot be read (is vhci-hcd loaded?)";
        return -1;
    }
    int port = -1;
    std::string line;
    while (port < 0 && std::getline(status, line)) {
        std::istringstream fields(line);
        std::string hub;
        unsigned number = 0;
        unsigned state = 0;
        if (fields >> hub >> number >> state && hub == "hs" && state == kVdevStatusFree)
            port = static_cast<int>(number);
    }
    if (port < 0) {
        error = kNoFreePort + dir_;
        return -1;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return -1;
    }
    // The kernel takes its own reference to the host's end while attaching.
    const std::string request = std::to_string(port) + " " + std::to_string(pair[1]) + " " +
                                std::to_string(devid) + " " + std::to_string(speed_);
    const bool ok = WriteSysfs(dir_ + "/attach", request, error);
    ::close(pair[1]);
    if (!ok) {
        ::close(pair[0]);
        return -1;
    }
    port_ = port;
    return pair[0];
}

void VhciBus::Detach() {
    if (port_ < 0) return;
    std::string ignored;
    // Fails harmlessly when the host has already let the port go.
    WriteSysfs(dir_ + "/detach", std::to_string(port_), ignored);
    port_ = -1;
}

// ----------------------------------------------------------- UsbIpServer

UsbIpServer::UsbIpServer(sim::SimBackend& sim, IVirtualBus& bus, const ServerOptions& options)
    : sim_(sim), bus_(bus), options_(options) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

UsbIpServer::~UsbIpServer() {
    sim_.Stop();
    if (sock_ >= 0) ::close(sock_);
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

void UsbIpServer::Note(const char* format, ...) {
    if (options_.trace == nullptr) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::fprintf(options_.trace, "%lld.%06ld ", static_cast<long long>(now.tv_sec),
                 now.tv_nsec / 1000);
    va_list args;
    va_start(args, format);
    std::vfprintf(options_.trace, format, args);
    va_end(args);
    std::fputc('\n', options_.trace);
    std::fflush(options_.trace);
}

void UsbIpServer::TraceTransfer(std::uint32_t seqnum, std::uint32_t ep, bool in,
                                const SetupPacket* setup, const std::vector<std::uint8_t>& data,
                                std::int32_t status, bool unanswered) {
    if (options_.trace == nullptr) return;
    const std::string setupText = setup ? Hex(setup->data(), setup->size()) : std::string("-");
    const std::string statusText = unanswered ? std::string("none") : std::to_string(status);
    Note("seq=%u ep=%u %s setup=%s len=%zu data=%s status=%s", seqnum, ep, in ? "in" : "out",
         setupText.c_str(), data.size(), Hex(data.data(), data.size()).c_str(), statusText.c_str());
}

bool UsbIpServer::Attach() {
    device_ = std::make_unique<SimUsbDevice>(sim_, 0, options_.device, &commits_);
    if (!device_->present()) {
        device_.reset();
        return false;
    }
    std::string error;
    for (int attempt = 0; attempt < kAttachTries; ++attempt) {
        sock_ = bus_.Attach(nextDevid_, error);
        if (sock_ >= 0 || error.rfind(kNoFreePort, 0) != 0) break;
        PauseMs(kAttachRetryMs);  // the port of the last device may still be let go
    }
    if (sock_ < 0) {
        error_ = error;
        Note("attach failed: %s", error.c_str());
        device_.reset();
        return false;
    }
    ++nextDevid_;
    pendingIn_.clear();
    const sim::UsbIdentity id = device_->identity();
    Note("attach vid=%04x pid=%04x mode=%s", id.vid, id.pid, ModeName(device_->mode()));
    if (!readyTouched_ && !options_.readyFile.empty()) {
        std::ofstream(options_.readyFile, std::ios::app);
        readyTouched_ = true;
    }
    return true;
}

void UsbIpServer::DrainToHost() {
    for (std::uint32_t waited = 0; waited < kDrainLimitMs; ++waited) {
        int queued = 0;
        if (::ioctl(sock_, SIOCOUTQ, &queued) != 0 || queued <= 0) break;
        PauseMs(1);
    }
    PauseMs(kLeaveDelayMs);
}

void UsbIpServer::Unplug(const char* why) {
    if (sock_ >= 0) {
        DrainToHost();
        bus_.Detach();
        ::close(sock_);
        sock_ = -1;
        Note("detach (%s)", why);
    }
    device_.reset();
    pendingIn_.clear();
}

void UsbIpServer::HandleEvents() {
    std::vector<Event> events;
    {
        std::lock_guard lock(eventsMu_);
        events.swap(events_);
    }
    bool arrived = false;
    for (const Event& e : events) {
        if (e.event == HotplugEvent::Removal) {
            if (device_ && e.path == device_->simPath()) Unplug("controller removed");
        } else {
            arrived = true;
        }
    }
    if (!arrived) return;
    if (device_) Unplug("controller re-enumerated");
    if (sim_.Controller(0).mode() != sim::Mode::Absent && !Attach())
        Note("the controller is not plugged in again");
}

bool UsbIpServer::Answer(std::uint32_t seqnum, const Transfer& t, bool in) {
    const HeaderBytes header = RetSubmit(seqnum, t.status, t.actual);
    if (!WriteAll(sock_, header.data(), header.size())) return false;
    if (in && !t.data.empty() && !WriteAll(sock_, t.data.data(), t.data.size())) return false;
    return true;
}

bool UsbIpServer::ServeOne() {
    HeaderBytes raw{};
    if (!ReadExact(sock_, raw.data(), raw.size())) return false;
    const Header h = ParseHeader(raw);
    if (h.command == kCmdUnlink) {
        std::int32_t status = 0;  // already answered
        for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
            if (it->seqnum != h.unlinkSeqnum) continue;
            pendingIn_.erase(it);
            status = -ECONNRESET;
            break;
        }
        Note("unlink seq=%u of seq=%u status=%d", h.seqnum, h.unlinkSeqnum, status);
        const HeaderBytes answer = RetUnlink(h.seqnum, status);
        return WriteAll(sock_, answer.data(), answer.size());
    }
    if (h.command != kCmdSubmit || h.transferLength < 0 || h.transferLength > kMaxOutData) {
        Note("unexpected message command=%u length=%d", h.command, h.transferLength);
        return false;
    }
    const bool in = h.direction == kDirIn;
    std::vector<std::uint8_t> out;
    if (!in && h.transferLength > 0) {
        out.resize(static_cast<std::size_t>(h.transferLength));
        if (!ReadExact(sock_, out.data(), out.size())) return false;
    }
    Transfer t;
    if (h.ep == 0) {
        t = device_->Control(h.setup, out);
        if (in && t.data.size() > static_cast<std::size_t>(h.transferLength)) {
            t.data.resize(static_cast<std::size_t>(h.transferLength));
            t.actual = h.transferLength;
        }
    } else if (h.ep == (kEndpointIn & 0x0F) && in) {
        pendingIn_.push_back({h.seqnum, static_cast<std::size_t>(h.transferLength)});
        return true;
    } else if (h.ep == kEndpointOut && !in && options_.device.interruptOut) {
        t = device_->InterruptOut(out);
    } else {
        t.status = -EPIPE;
    }
    TraceTransfer(h.seqnum, h.ep, in, h.ep == 0 ? &h.setup : nullptr, in ? t.data : out, t.status,
                  t.unanswered);
    if (t.unanswered) return true;  // the device is going away
    return Answer(h.seqnum, t, in);
}

void UsbIpServer::CompleteInput() {
    while (sock_ >= 0 && device_ && !pendingIn_.empty()) {
        const PendingIn p = pendingIn_.front();
        std::optional<Transfer> t = device_->TakeInput(p.length);
        if (!t) return;
        pendingIn_.erase(pendingIn_.begin());
        TraceTransfer(p.seqnum, kEndpointIn & 0x0F, true, nullptr, t->data, t->status,
                      t->unanswered);
        if (t->unanswered) return;
        if (!Answer(p.seqnum, *t, true)) {
            Unplug("the host stopped listening");
            return;
        }
    }
}

bool UsbIpServer::Run(int stopFd) {
    sim_.Start([this](HotplugEvent event, const std::string& path) {
        {
            std::lock_guard lock(eventsMu_);
            events_.push_back({event, path});
        }
        if (wake_[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t w = ::write(wake_[1], &byte, 1);
        }
    });
    if (sim_.Controller(0).mode() != sim::Mode::Absent && !Attach()) {
        if (error_.empty()) error_ = "the controller could not be opened";
        sim_.Stop();
        return false;
    }
    for (;;) {
        HandleEvents();
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {wake_[0], POLLIN, 0}, {sock_, POLLIN, 0}};
        const nfds_t count = sock_ >= 0 ? 3 : 2;
        const int ready = ::poll(fds, count, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            error_ = std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            char buffer[64];
            while (::read(wake_[0], buffer, sizeof buffer) > 0) {
            }
        }
        if (count == 3 && fds[2].revents != 0 && !ServeOne()) {
            // The host closed the connection (or broke the protocol): the
            // device stays unplugged until the controller re-enumerates.
            bus_.Detach();
            ::close(sock_);
            sock_ = -1;
            device_.reset();
            pendingIn_.clear();
            Note("the host closed the connection");
            continue;
        }
        CompleteInput();
    }
    sim_.Stop();
    Unplug("stopping");
    return true;
}

}  // namespace fwu::usbip
