// Report framing of the hidraw device, over a packet socket pair standing in
// for the node: each write() on one end is one report on the other, as with
// hidraw.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/linux/hid_linux.h"

namespace fwu {
namespace {

class HidrawIo : public ::testing::Test {
  protected:
    void Open(bool numbered, std::uint8_t outputId) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        peer_ = fds[1];
        device_ = MakeHidrawDevice(fds[0], ReportDescriptorInfo{outputId, numbered}, nullptr);
    }
    void TearDown() override {
        device_.reset();
        if (peer_ >= 0) ::close(peer_);
    }

    std::vector<std::uint8_t> Received() {
        std::vector<std::uint8_t> data(256);
        const ssize_t n = ::recv(peer_, data.data(), data.size(), MSG_DONTWAIT);
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return data;
    }
    void Send(std::vector<std::uint8_t> data) {
        ASSERT_EQ(::send(peer_, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    }
    static std::array<std::uint8_t, kReportSize> Report(std::uint8_t id) {
        std::array<std::uint8_t, kReportSize> r{};
        r[0] = id;
        for (std::size_t i = 1; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(i);
        return r;
    }

    int peer_ = -1;
    std::unique_ptr<IHidDevice> device_;
};

TEST_F(HidrawIo, WriteSendsTheWholeReportWithItsIdEvenWhenItIsZero) {
    // hidraw takes the first byte as the report ID; leaving a 0 out would
    // make the kernel drop the first payload byte whenever it is 0.
    Open(false, 0);
    auto plain = Report(0);
    plain[1] = 0x00;
    ASSERT_TRUE(device_->Write(plain.data(), plain.size()));
    const auto sentPlain = Received();
    ASSERT_EQ(sentPlain.size(), 65u);
    EXPECT_EQ(sentPlain[0], 0);
    EXPECT_EQ(sentPlain[1], 0);
    EXPECT_EQ(sentPlain[64], 64);

    auto numbered = Report(2);
    ASSERT_TRUE(device_->Write(numbered.data(), numbered.size()));
    const auto sentNumbered = Received();
    ASSERT_EQ(sentNumbered.size(), 65u);
    EXPECT_EQ(sentNumbered[0], 2);
    EXPECT_EQ(sentNumbered[64], 64);
    EXPECT_EQ(device_->OutputReportId(), 0);
}

TEST_F(HidrawIo, QueuedInputIsDroppedAndALaterReportIsStillRead) {
    Open(true, 1);
    Send({0x01, 0xAA});
    Send({0x01, 0xBB});
    device_->DropQueuedInput();
    std::array<std::uint8_t, kReportSize> in{};
    EXPECT_EQ(device_->Read(in.data(), in.size(), 0), ReadStatus::Timeout);
    Send({0x01, 0xCC});
    ASSERT_EQ(device_->Read(in.data(), in.size(), 1000), ReadStatus::Ok);
    EXPECT_EQ(in[1], 0xCC);
}

TEST_F(HidrawIo, ReadPutsTheReportIdInByteZero) {
    Open(false, 0);
    std::vector<std::uint8_t> payload(64);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    Send(payload);
    std::array<std::uint8_t, kReportSize> in{};
    in[0] = 0x77;
    ASSERT_EQ(device_->Read(in.data(), in.size(), 1000), ReadStatus::Ok);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0xA0);
    EXPECT_EQ(in[64], 0xA0 + 63);
}

TEST_F(HidrawIo, NumberedReadKeepsTheDeliveredIdAndClearsAShortTail) {
    Open(true, 5);
    EXPECT_EQ(device_->OutputReportId(), 5);
    Send({0x05, 0x11, 0x22});
    std::array<std::uint8_t, kReportSize> in;
    in.fill(0xEE);  // leftovers of an earlier report
    ASSERT_EQ(device_->Read(in.data(), in.size(), 1000), ReadStatus::Ok);
    EXPECT_EQ(in[0], 0x05);
    EXPECT_EQ(in[1], 0x11);
    EXPECT_EQ(in[2], 0x22);
    for (std::size_t i = 3; i < in.size(); ++i) ASSERT_EQ(in[i], 0) << i;
}

TEST_F(HidrawIo, ReadTimesOutWithoutAReportAndFailsWhenTheDeviceGoes) {
    Open(false, 0);
    std::array<std::uint8_t, kReportSize> in{};
    EXPECT_EQ(device_->Read(in.data(), in.size(), 0), ReadStatus::Timeout);
    EXPECT_EQ(device_->Read(in.data(), in.size(), 5), ReadStatus::Timeout);

    ::close(peer_);
    peer_ = -1;
    ::signal(SIGPIPE, SIG_IGN);  // a socket, unlike a hidraw node, would raise it
    EXPECT_EQ(device_->Read(in.data(), in.size(), 1000), ReadStatus::Failed);
    EXPECT_NE(device_->LastError(), 0u);
    auto out = Report(0);
    EXPECT_FALSE(device_->Write(out.data(), out.size()));
    EXPECT_EQ(device_->LastError(), static_cast<std::uint32_t>(EPIPE));
}

TEST_F(HidrawIo, RequestsThatCannotBeMadeFailCleanly) {
    Open(false, 0);
    std::array<std::uint8_t, kReportSize> buffer{};
    EXPECT_FALSE(device_->Write(buffer.data(), 1));  // an ID of 0 and nothing else
    EXPECT_EQ(device_->LastError(), static_cast<std::uint32_t>(EINVAL));
    EXPECT_FALSE(device_->GetIndexedString(255, buffer.data(), 126));  // no USB control pipe
    EXPECT_EQ(device_->LastError(), static_cast<std::uint32_t>(ENODEV));
    EXPECT_FALSE(device_->SetOutputReport(buffer.data(), 64));
    std::uint16_t vid = 1, pid = 1;
    EXPECT_FALSE(device_->GetAttributes(vid, pid));  // not a hidraw node
}

}  // namespace
}  // namespace fwu
