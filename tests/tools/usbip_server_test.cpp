// The USB/IP device server driven through a socket pair with hand-made URB
// messages, the way vhci-hcd drives it: enumeration, the controller's own
// strings, output reports on either pipe, input reports and unlinks.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "base/bytes.h"
#include "sim/sim.h"
#include "tests/support/files.h"
#include "tools/simusb/server.h"

namespace fwu::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Socket pairs instead of vhci-hcd ports; the test holds the host's ends.
class PairBus : public IVirtualBus {
  public:
    int Attach(std::uint32_t, std::string&) override {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        std::lock_guard lock(mu_);
        hostEnds_.push_back(pair[1]);
        cv_.notify_all();
        return pair[0];
    }
    void Detach() override {
        std::lock_guard lock(mu_);
        ++detaches_;
    }
    // The host's end of the next device plugged in.
    int NextHost() {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !hostEnds_.empty(); });
        if (hostEnds_.empty()) return -1;
        const int fd = hostEnds_.front();
        hostEnds_.pop_front();
        return fd;
    }
    int detaches() {
        std::lock_guard lock(mu_);
        return detaches_;
    }
    std::size_t waiting() {
        std::lock_guard lock(mu_);
        return hostEnds_.size();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<int> hostEnds_;
    int detaches_ = 0;
};

struct Answer {
    Header header;
    Bytes data;
};

// The host side of one connection.
class Host {
  public:
    explicit Host(int fd) : fd_(fd) {}
    ~Host() {
        if (fd_ >= 0) ::close(fd_);
    }
    std::uint32_t Submit(std::uint32_t ep, bool in, const Bytes& out, std::int32_t length,
                         SetupPacket setup = {}) {
        Header h;
        h.command = kCmdSubmit;
        h.seqnum = next_++;
        h.direction = in ? kDirIn : kDirOut;
        h.ep = ep;
        h.transferLength = in ? length : static_cast<std::int32_t>(out.size());
        h.setup = setup;
        Send(EncodeHeader(h).data(), kHeaderSize);
        if (!in && !out.empty()) Send(out.data(), out.size());
        return h.seqnum;
    }
    std::uint32_t Unlink(std::uint32_t seqnum) {
        Header h;
        h.command = kCmdUnlink;
        h.seqnum = next_++;
        h.unlinkSeqnum = seqnum;
        Send(EncodeHeader(h).data(), kHeaderSize);
        return h.seqnum;
    }
    Answer Receive() {
        Answer a;
        HeaderBytes raw{};
        Read(raw.data(), raw.size());
        a.header = ParseHeader(raw);
        if (a.header.command == kRetSubmit && a.header.actualLength > 0 &&
            lastIn_.count(a.header.seqnum)) {
            a.data.resize(static_cast<std::size_t>(a.header.actualLength));
            Read(a.data.data(), a.data.size());
        }
        return a;
    }
    Answer Control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                   std::uint16_t index, std::uint16_t length, const Bytes& out = {}) {
        const SetupPacket setup{type,
                                request,
                                static_cast<std::uint8_t>(value),
                                static_cast<std::uint8_t>(value >> 8),
                                static_cast<std::uint8_t>(index),
                                static_cast<std::uint8_t>(index >> 8),
                                static_cast<std::uint8_t>(length),
                                static_cast<std::uint8_t>(length >> 8)};
        const bool in = (type & 0x80) != 0;
        const std::uint32_t seq = Submit(0, in, out, length, setup);
        if (in) lastIn_.insert(seq);
        Answer a = Receive();
        EXPECT_EQ(a.header.seqnum, seq);
        return a;
    }
    Bytes Descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t length,
                     std::uint8_t recipient = 0x80) {
        return Control(recipient, 0x06, static_cast<std::uint16_t>((type << 8) | index),
                       recipient == 0x81 ? 0 : 0x0409, length)
            .data;
    }
    std::uint32_t SubmitIn(std::int32_t length) {
        const std::uint32_t seq = Submit(1, true, {}, length);
        lastIn_.insert(seq);
        return seq;
    }

  private:
    void Send(const std::uint8_t* p, std::size_t n) {
        ASSERT_EQ(::send(fd_, p, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
    }
    void Read(std::uint8_t* p, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            pollfd pfd{fd_, POLLIN, 0};
            ASSERT_EQ(::poll(&pfd, 1, 10000), 1) << "no answer from the device";
            const ssize_t r = ::recv(fd_, p + got, n - got, 0);
            ASSERT_GT(r, 0);
            got += static_cast<std::size_t>(r);
        }
    }
    int fd_;
    std::uint32_t next_ = 1;
    std::set<std::uint32_t> lastIn_;
};

// A server on its own thread, serving one simulated controller on `bus`, or
// a second one beside it on `other`.
class Served {
  public:
    Served(const sim::Config& config, DeviceOptions device,
           std::optional<sim::Config> second = std::nullopt)
        : sim(config) {
        EXPECT_EQ(::pipe(stop_), 0);
        ServerOptions options;
        options.device = device;
        std::vector<IVirtualBus*> buses{&bus};
        if (second) {
            sim.AddController(*second);
            buses.push_back(&other);
        }
        server_ = std::make_unique<UsbIpServer>(sim, buses, options);
        thread_ = std::thread([this] { server_->Run(stop_[0]); });
    }
    ~Served() {
        const char byte = 1;
        EXPECT_EQ(::write(stop_[1], &byte, 1), 1);
        thread_.join();
        server_.reset();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    std::unique_ptr<Host> Connect() { return std::make_unique<Host>(bus.NextHost()); }
    sim::SimBackend sim;
    PairBus bus;
    PairBus other;

  private:
    int stop_[2] = {-1, -1};
    std::unique_ptr<UsbIpServer> server_;
    std::thread thread_;
};

Bytes Command(std::uint8_t code) {
    return {0xA5, code, 0x5A, static_cast<std::uint8_t>(code ^ 0xFF)};
}

sim::Config Bootloader() {
    sim::Config config;
    config.startInBootloader = true;
    return config;
}

TEST(UsbIpServer, EnumerationDescriptors) {
    for (const std::uint8_t id : {0, 5}) {
        for (const bool out : {true, false}) {
            SCOPED_TRACE(testing::Message() << "report id " << int(id) << ", OUT " << out);
            sim::Config config;
            config.reportId = id;
            Served s(config, {id, out});
            auto host = s.Connect();
            const Bytes device = host->Descriptor(1, 0, 64);
            ASSERT_EQ(device.size(), 18u);
            EXPECT_EQ(LoadLe16(&device[8]), sim::kDefaultNormalId.vid);
            EXPECT_EQ(LoadLe16(&device[10]), sim::kDefaultNormalId.pid);
            EXPECT_EQ(host->Descriptor(2, 0, 9).size(), 9u);
            const Bytes config9 = host->Descriptor(2, 0, 255);
            ASSERT_EQ(config9.size(), LoadLe16(&config9[2]));
            EXPECT_EQ(config9[9 + 4], out ? 2 : 1);  // bNumEndpoints
            EXPECT_EQ(config9[9 + 5], 0x03);         // HID
            const Bytes report = host->Descriptor(0x22, 0, 255, 0x81);
            EXPECT_EQ(LoadLe16(&config9[18 + 7]), report.size());
            const Bytes prefix{0x85, id};
            const bool numbered = std::search(report.begin(), report.end(), prefix.begin(),
                                              prefix.end()) != report.end();
            EXPECT_EQ(numbered, id != 0);
            EXPECT_EQ(config9[27 + 2], 0x81);  // interrupt IN first
            if (out) {
                EXPECT_EQ(config9[34 + 2], 0x01);
            }
            EXPECT_EQ(host->Descriptor(3, 0, 255), (Bytes{4, 3, 0x09, 0x04}));
            // The serial number string: the simulated controller's own.
            Bytes serial{static_cast<std::uint8_t>(2 + 2 * sim::SimSerialNumber(0).size()), 3};
            for (const char c : sim::SimSerialNumber(0))
                serial.insert(serial.end(), {static_cast<std::uint8_t>(c), 0});
            EXPECT_EQ(host->Descriptor(3, device[16], 255), serial);
            EXPECT_EQ(host->Control(0x00, 0x09, 1, 0, 0).header.status, 0);  // SET_CONFIGURATION
            EXPECT_EQ(host->Control(0x21, 0x0A, 0, 0, 0).header.status, 0);  // SET_IDLE
            EXPECT_EQ(host->Control(0xA1, 0x01, 0x0100, 0, 64).header.status,
                      -EPIPE);  // GET_REPORT
        }
    }
}

TEST(UsbIpServer, NormalModeStringsAndSwitchReportReachTheController) {
    Served s(sim::Config{}, {0, true});
    auto host = s.Connect();
    // The identity string: only what the controller holds, the request
    // reaching it with the host's length.
    const Bytes identity = host->Descriptor(3, 255, 126);
    ASSERT_EQ(identity.size(), 2u + 16u);
    EXPECT_EQ(identity[0], 18);
    EXPECT_EQ(LoadBe16(&identity[2]), 0x0313);
    const auto trace = s.sim.Controller(0).Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back().kind, sim::TraceKind::StringRequest);
    EXPECT_EQ(trace.back().bytes, (Bytes{255, 126}));

    // A report on the interrupt pipe is no switch request; SET_REPORT is.
    Bytes sw{0xB0, 0x07, 0x4F, 0xF8, 0x10};
    sw.resize(63, 0);
    host->Submit(1, false, sw, 0);
    EXPECT_EQ(host->Receive().header.status, 0);
    for (std::uint8_t k = 0; k < 5; ++k) {
        sw[4] = static_cast<std::uint8_t>(0x10 + k);
        EXPECT_EQ(host->Control(0x21, 0x09, 0x0200, 0, 63, sw).header.status, 0);
    }
    const sim::TraceEntry last = s.sim.Controller(0).Trace().back();
    EXPECT_EQ(last.kind, sim::TraceKind::OutputReport);
    ASSERT_EQ(last.bytes.size(), 64u);  // counted with its ID, as the tool sends it
    EXPECT_EQ(last.bytes[0], 0);

    // It comes back as a bootloader: unplugged, plugged in with the new identity.
    auto again = s.Connect();
    EXPECT_EQ(s.bus.detaches(), 1);
    const Bytes device = again->Descriptor(1, 0, 18);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(LoadLe16(&device[10]), sim::kUpgradeId0001.pid);
}

TEST(UsbIpServer, NumberedReportsOverTheInterruptPipesAndUnlink) {
    sim::Config config = Bootloader();
    config.reportId = 7;
    Served s(config, {7, true});
    auto host = s.Connect();
    // usbhid keeps an IN transfer pending; it is answered once there is a reply.
    const std::uint32_t in = host->SubmitIn(65);
    Bytes request{7};
    const Bytes e1 = Command(0xE1);
    request.insert(request.end(), e1.begin(), e1.end());
    request.resize(65, 0);
    const std::uint32_t out = host->Submit(1, false, request, 0);
    Answer a = host->Receive();
    EXPECT_EQ(a.header.seqnum, out);
    EXPECT_EQ(a.header.status, 0);
    EXPECT_EQ(a.header.actualLength, 65);
    const auto trace = s.sim.Controller(0).Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().bytes, request);  // ID 7 in byte 0
    a = host->Receive();
    EXPECT_EQ(a.header.seqnum, in);
    ASSERT_EQ(a.data.size(), 65u);
    EXPECT_EQ(a.data[0], 7);
    EXPECT_EQ(LoadBe16(&a.data[5]), 0x0313);

    // An unlinked IN transfer is never answered afterwards.
    const std::uint32_t second = host->SubmitIn(65);
    const std::uint32_t unlink = host->Unlink(second);
    a = host->Receive();
    EXPECT_EQ(a.header.command, kRetUnlink);
    EXPECT_EQ(a.header.seqnum, unlink);
    EXPECT_EQ(a.header.status, -ECONNRESET);
    EXPECT_EQ(host->Control(0x80, 0x00, 0, 0, 2).data, (Bytes{0, 0}));  // GET_STATUS next
}

TEST(UsbIpServer, UnnumberedSetReportAndWaitingCountsNoTransfer) {
    sim::Config config = Bootloader();
    config.faults = {{sim::FaultKind::ReadFail, 2}};
    Served s(config, {0, false});
    auto host = s.Connect();
    const std::uint32_t in = host->SubmitIn(64);
    Bytes request = Command(0xE1);
    request.resize(64, 0);
    // Without an interrupt OUT endpoint the report goes as SET_REPORT(Output, ID 0).
    EXPECT_EQ(host->Control(0x21, 0x09, 0x0200, 0, 64, request).header.status, 0);
    Bytes seen{0};
    seen.insert(seen.end(), request.begin(), request.end());
    EXPECT_EQ(s.sim.Controller(0).Trace().front().bytes, seen);
    // The pending IN transfer is the second transfer: its read fails.
    const Answer a = host->Receive();
    EXPECT_EQ(a.header.seqnum, in);
    EXPECT_EQ(a.header.status, -EPIPE);
    // Interrupt OUT does not exist on this device.
    host->Submit(1, false, request, 0);
    EXPECT_EQ(host->Receive().header.status, -EPIPE);
}

TEST(UsbIpServer, TwoControllersEachReplugOnlyOnTheirOwnPort) {
    Served s(sim::Config{}, {0, true}, Bootloader());
    auto first = s.Connect();
    auto second = std::make_unique<Host>(s.other.NextHost());
    EXPECT_EQ(LoadLe16(&second->Descriptor(1, 0, 18)[10]), sim::kUpgradeId0001.pid);
    s.sim.Controller(1).Unplug();
    s.sim.Controller(1).Plug();  // back on its own port
    second = std::make_unique<Host>(s.other.NextHost());
    EXPECT_EQ(s.other.detaches(), 1);
    EXPECT_EQ(LoadLe16(&second->Descriptor(1, 0, 18)[10]), s.sim.Controller(1).identity().pid);
    EXPECT_EQ(s.bus.detaches(), 0);
    EXPECT_EQ(s.bus.waiting(), 0u);
    EXPECT_EQ(LoadLe16(&first->Descriptor(1, 0, 18)[10]), sim::kDefaultNormalId.pid);
}

TEST(VhciBus, ComesBackToItsFirstPortAndLeavesTheOthersAlone) {
    test::ScratchDir dir;
    const std::string vhci = dir.path().string();
    auto status = [&](const char* used) {  // hub, port, state (4 free, 6 used) per line
        std::ofstream out(vhci + "/status", std::ios::trunc);
        out << "hub port sta spd dev      sockfd local_busid\n";
        for (int port = 0; port < 3; ++port)
            out << "hs  000" << port << (std::strchr(used, '0' + port) ? " 006" : " 004")
                << " 000 00000000 000000 0-0\n";
        out << "ss  0008 004 000 00000000 000000 0-0\n";
    };
    auto attach = [&](VhciBus& bus, std::string& error) {
        std::ofstream(vhci + "/attach", std::ios::trunc);
        const int fd = bus.Attach(0x10002, error);
        if (fd >= 0) ::close(fd);
        return fd >= 0 ? test::ReadFileText(vhci + "/attach").substr(0, 2) : std::string();
    };
    std::ofstream(vhci + "/detach");
    std::string error;
    VhciBus a(vhci);
    VhciBus b(vhci);
    status("0");
    EXPECT_EQ(attach(a, error), "1 ") << error;
    EXPECT_EQ(attach(b, error), "2 ") << error;  // port 1 is a's, though not yet marked used
    a.Detach();
    EXPECT_EQ(test::ReadFileText(vhci + "/detach"), "1");
    status("12");  // the host still holds port 1; port 0 is free
    EXPECT_EQ(attach(a, error), "");
    EXPECT_EQ(error.rfind(kPortInUse, 0), 0u) << error;
    // Free for vhci-hcd, but the host's high-speed root hub (usb3) still
    // has the last device of port 1 (3-2); the super-speed one's 4-2 is
    // another port.
    status("2");
    for (const char* d : {"/usb3/3-2", "/usb4/4-2"}) std::filesystem::create_directories(vhci + d);
    std::ofstream(vhci + "/usb3/speed") << "480\n";
    std::ofstream(vhci + "/usb4/speed") << "5000\n";
    EXPECT_EQ(attach(a, error), "");
    EXPECT_EQ(error.rfind(kPortInUse, 0), 0u) << error;
    std::filesystem::remove(vhci + "/usb3/3-2");
    EXPECT_EQ(attach(a, error), "1 ") << error;
    EXPECT_EQ(a.port(), 1);
    EXPECT_EQ(b.port(), 2);
}

}  // namespace
}  // namespace fwu::usbip
