#include "tools/simusb/server.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

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
constexpr int kAttachTries = 100;
constexpr std::uint32_t kAttachRetryMs = 100;
constexpr std::uint32_t kVdevStatusFree = 4;

// Ports a VhciBus of this process has taken, by vhci-hcd directory.
std::mutex g_portsMu;
std::set<std::pair<std::string, int>> g_ports;

// Whether the host still has a USB device at high-speed `port` of the
// vhci-hcd in `dir`: its root hub (usbN, speed 480) holds N-(port+1).
bool HostHoldsDevice(const std::string& dir, int port) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const fs::directory_entry& hub : fs::directory_iterator(dir, ec)) {
        const std::string name = hub.path().filename().string();
        if (!name.starts_with("usb")) continue;
        std::ifstream speed(hub.path() / "speed");
        std::string mbps;
        if (!(speed >> mbps) || mbps != "480") continue;
        if (fs::exists(hub.path() / (name.substr(3) + "-" + std::to_string(port + 1)), ec))
            return true;
    }
    return false;
}

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

VhciBus::~VhciBus() {
    Detach();
    std::lock_guard lock(g_portsMu);
    g_ports.erase({dir_, home_});
}

int VhciBus::Attach(std::uint32_t devid, std::string& error) {
    Detach();
    // Lines "hs  0000 004 000 00000000 000000 0-0": hub, port, state, ...
    std::ifstream status(dir_ + "/status");
    if (!status) {
        error = dir_ + "/status: cannot be read (is vhci-hcd loaded?)";
        return -1;
    }
    // Back to its port only once the host has let the last device there go:
    // a disconnect and a connect that the host's hub thread sees as one look
    // like the old device still being plugged in, and the new one is never
    // enumerated.
    if (home_ >= 0 && HostHoldsDevice(dir_, home_)) {
        error = kPortInUse + dir_ + " " + std::to_string(home_);
        return -1;
    }
    int port = -1;
    {
        std::lock_guard lock(g_portsMu);
        std::string line;
        while (port < 0 && std::getline(status, line)) {
            std::istringstream fields(line);
            std::string hub;
            int number = 0;
            unsigned state = 0;
            if (!(fields >> hub >> number >> state) || hub != "hs" || state != kVdevStatusFree)
                continue;
            if (home_ >= 0 ? number == home_ : g_ports.count({dir_, number}) == 0) port = number;
        }
        if (port < 0) {
            error =
                home_ >= 0 ? kPortInUse + dir_ + " " + std::to_string(home_) : kNoFreePort + dir_;
            return -1;
        }
        if (home_ < 0) {
            home_ = port;
            g_ports.insert({dir_, port});
        }
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
    attached_ = true;
    return pair[0];
}

void VhciBus::Detach() {
    if (!attached_) return;
    std::string ignored;
    // Fails harmlessly when the host has already let the port go.
    WriteSysfs(dir_ + "/detach", std::to_string(home_), ignored);
    attached_ = false;
}

// ----------------------------------------------------------- UsbIpServer

UsbIpServer::UsbIpServer(sim::SimBackend& sim, const std::vector<IVirtualBus*>& buses,
                         const ServerOptions& options)
    : sim_(sim), options_(options) {
    for (std::size_t k = 0; k < buses.size(); ++k) {
        auto u = std::make_unique<Unit>();
        u->index = k;
        u->bus = buses[k];
        if (buses.size() > 1) {
            // Formatted into a buffer: gcc 12's -O3 misreads the string
            // concatenation here as an overlapping copy.
            char tag[32];
            std::snprintf(tag, sizeof tag, "u%zu ", k);
            u->tag = tag;
        }
        units_.push_back(std::move(u));
    }
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

UsbIpServer::UsbIpServer(sim::SimBackend& sim, IVirtualBus& bus, const ServerOptions& options)
    : UsbIpServer(sim, std::vector<IVirtualBus*>{&bus}, options) {}

UsbIpServer::~UsbIpServer() {
    sim_.Stop();
    for (const auto& u : units_)
        if (u->sock >= 0) ::close(u->sock);
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

void UsbIpServer::TraceTransfer(const Unit& u, std::uint32_t seqnum, std::uint32_t ep, bool in,
                                const SetupPacket* setup, const std::vector<std::uint8_t>& data,
                                std::int32_t status, bool unanswered) {
    if (options_.trace == nullptr) return;
    const std::string setupText = setup ? Hex(setup->data(), setup->size()) : std::string("-");
    const std::string statusText = unanswered ? std::string("none") : std::to_string(status);
    Note("%sseq=%u ep=%u %s setup=%s len=%zu data=%s status=%s", u.tag.c_str(), seqnum, ep,
         in ? "in" : "out", setupText.c_str(), data.size(), Hex(data.data(), data.size()).c_str(),
         statusText.c_str());
}

bool UsbIpServer::Attach(Unit& u, bool wait) {
    u.device = std::make_unique<SimUsbDevice>(sim_, u.index, options_.device, &u.commits);
    u.attachTriesLeft = 0;
    if (!u.device->present()) {
        u.device.reset();
        return false;
    }
    std::string error;
    for (int attempt = 0; attempt < kAttachTries; ++attempt) {
        if (TryAttach(u, error)) return true;
        if (error.rfind(kNoFreePort, 0) != 0 && error.rfind(kPortInUse, 0) != 0) break;
        // The host may still be letting go of the port.
        if (!wait) {
            u.attachTriesLeft = kAttachTries - 1 - attempt;
            u.attachDue =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kAttachRetryMs);
            return false;
        }
        PauseMs(kAttachRetryMs);
    }
    error_ = error;
    Note("%sattach failed: %s", u.tag.c_str(), error.c_str());
    u.device.reset();
    return false;
}

bool UsbIpServer::TryAttach(Unit& u, std::string& error) {
    u.sock = u.bus->Attach(nextDevid_, error);
    if (u.sock < 0) return false;
    u.attachTriesLeft = 0;
    ++nextDevid_;
    u.pendingIn.clear();
    const sim::UsbIdentity id = u.device->identity();
    Note("%sattach vid=%04x pid=%04x mode=%s", u.tag.c_str(), id.vid, id.pid,
         ModeName(u.device->mode()));
    return true;
}

void UsbIpServer::RetryAttaches() {
    const auto now = std::chrono::steady_clock::now();
    for (const auto& u : units_) {
        if (u->attachTriesLeft == 0 || now < u->attachDue) continue;
        std::string error;
        if (TryAttach(*u, error)) continue;
        if (--u->attachTriesLeft > 0 &&
            (error.rfind(kNoFreePort, 0) == 0 || error.rfind(kPortInUse, 0) == 0)) {
            u->attachDue = now + std::chrono::milliseconds(kAttachRetryMs);
            continue;
        }
        u->attachTriesLeft = 0;
        error_ = error;
        Note("%sattach failed: %s", u->tag.c_str(), error.c_str());
        u->device.reset();
    }
}

int UsbIpServer::PollTimeoutMs() const {
    for (const auto& u : units_) {
        if (u->attachTriesLeft > 0) return static_cast<int>(kAttachRetryMs);
    }
    return -1;
}

void UsbIpServer::DrainToHost(Unit& u) {
    for (std::uint32_t waited = 0; waited < kDrainLimitMs; ++waited) {
        int queued = 0;
        if (::ioctl(u.sock, SIOCOUTQ, &queued) != 0 || queued <= 0) break;
        PauseMs(1);
    }
    PauseMs(kLeaveDelayMs);
}

void UsbIpServer::Disconnect(Unit& u) {
    u.bus->Detach();
    ::close(u.sock);
    u.sock = -1;
}

void UsbIpServer::Unplug(Unit& u, const char* why) {
    u.attachTriesLeft = 0;
    if (u.sock >= 0) {
        DrainToHost(u);
        Disconnect(u);
        Note("%sdetach (%s)", u.tag.c_str(), why);
    }
    u.device.reset();
    u.pendingIn.clear();
}

void UsbIpServer::HandleEvents() {
    std::vector<Event> events;
    {
        std::lock_guard lock(eventsMu_);
        events.swap(events_);
    }
    std::vector<bool> arrived(units_.size(), false);
    for (const Event& e : events) {
        for (const auto& u : units_) {
            if (e.event == HotplugEvent::Removal) {
                if (u->device && e.path == u->device->simPath()) Unplug(*u, "controller removed");
            } else if (sim_.Location(e.path) == "sim" + std::to_string(u->index)) {
                arrived[u->index] = true;
            }
        }
    }
    for (const auto& u : units_) {
        if (!arrived[u->index]) continue;
        if (u->device) Unplug(*u, "controller re-enumerated");
        if (sim_.Controller(u->index).mode() != sim::Mode::Absent && !Attach(*u, false) &&
            u->attachTriesLeft == 0)
            Note("%sthe controller is not plugged in again", u->tag.c_str());
    }
}

bool UsbIpServer::Answer(Unit& u, std::uint32_t seqnum, const Transfer& t, bool in) {
    const HeaderBytes header = RetSubmit(seqnum, t.status, t.actual);
    if (!WriteAll(u.sock, header.data(), header.size())) return false;
    if (in && !t.data.empty() && !WriteAll(u.sock, t.data.data(), t.data.size())) return false;
    return true;
}

bool UsbIpServer::ServeOne(Unit& u) {
    HeaderBytes raw{};
    if (!ReadExact(u.sock, raw.data(), raw.size())) return false;
    const Header h = ParseHeader(raw);
    if (h.command == kCmdUnlink) {
        std::int32_t status = 0;  // already answered
        for (auto it = u.pendingIn.begin(); it != u.pendingIn.end(); ++it) {
            if (it->seqnum != h.unlinkSeqnum) continue;
            u.pendingIn.erase(it);
            status = -ECONNRESET;
            break;
        }
        Note("%sunlink seq=%u of seq=%u status=%d", u.tag.c_str(), h.seqnum, h.unlinkSeqnum,
             status);
        const HeaderBytes answer = RetUnlink(h.seqnum, status);
        return WriteAll(u.sock, answer.data(), answer.size());
    }
    if (h.command != kCmdSubmit || h.transferLength < 0 || h.transferLength > kMaxOutData) {
        Note("%sunexpected message command=%u length=%d", u.tag.c_str(), h.command,
             h.transferLength);
        return false;
    }
    const bool in = h.direction == kDirIn;
    std::vector<std::uint8_t> out;
    if (!in && h.transferLength > 0) {
        out.resize(static_cast<std::size_t>(h.transferLength));
        if (!ReadExact(u.sock, out.data(), out.size())) return false;
    }
    Transfer t;
    if (h.ep == 0) {
        t = u.device->Control(h.setup, out);
        if (in && t.data.size() > static_cast<std::size_t>(h.transferLength)) {
            t.data.resize(static_cast<std::size_t>(h.transferLength));
            t.actual = h.transferLength;
        }
    } else if (h.ep == (kEndpointIn & 0x0F) && in) {
        u.pendingIn.push_back({h.seqnum, static_cast<std::size_t>(h.transferLength)});
        return true;
    } else if (h.ep == kEndpointOut && !in && options_.device.interruptOut) {
        t = u.device->InterruptOut(out);
    } else {
        t.status = -EPIPE;
    }
    TraceTransfer(u, h.seqnum, h.ep, in, h.ep == 0 ? &h.setup : nullptr, in ? t.data : out,
                  t.status, t.unanswered);
    if (t.unanswered) return true;  // the device is going away
    return Answer(u, h.seqnum, t, in);
}

void UsbIpServer::CompleteInput(Unit& u) {
    while (u.sock >= 0 && u.device && !u.pendingIn.empty()) {
        const PendingIn p = u.pendingIn.front();
        std::optional<Transfer> t = u.device->TakeInput(p.length);
        if (!t) return;
        u.pendingIn.erase(u.pendingIn.begin());
        TraceTransfer(u, p.seqnum, kEndpointIn & 0x0F, true, nullptr, t->data, t->status,
                      t->unanswered);
        if (t->unanswered) return;
        if (!Answer(u, p.seqnum, *t, true)) {
            Unplug(u, "the host stopped listening");
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
    for (const auto& u : units_) {
        if (sim_.Controller(u->index).mode() != sim::Mode::Absent && !Attach(*u)) {
            if (error_.empty()) error_ = "the controller could not be opened";
            sim_.Stop();
            for (const auto& other : units_) Unplug(*other, "stopping");
            return false;
        }
    }
    if (!options_.readyFile.empty()) std::ofstream(options_.readyFile, std::ios::app);
    std::vector<pollfd> fds;
    std::vector<Unit*> polled;
    for (;;) {
        HandleEvents();
        RetryAttaches();
        fds.assign({{stopFd, POLLIN, 0}, {wake_[0], POLLIN, 0}});
        polled.clear();
        for (const auto& u : units_) {
            if (u->sock < 0) continue;
            fds.push_back({u->sock, POLLIN, 0});
            polled.push_back(u.get());
        }
        const int ready = ::poll(fds.data(), fds.size(), PollTimeoutMs());
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
        for (std::size_t k = 0; k < polled.size(); ++k) {
            Unit& u = *polled[k];
            if (fds[k + 2].revents == 0 || ServeOne(u)) continue;
            // The host closed the connection (or broke the protocol): the
            // device stays unplugged until the controller re-enumerates.
            Disconnect(u);
            u.device.reset();
            u.pendingIn.clear();
            Note("%sthe host closed the connection", u.tag.c_str());
        }
        for (const auto& u : units_) CompleteInput(*u);
    }
    sim_.Stop();
    for (const auto& u : units_) Unplug(*u, "stopping");
    return true;
}

}  // namespace fwu::usbip
