#include <gtest/gtest.h>

#include <atomic>

#include "device/DeviceManager.h"
#include "fakes.h"
#include "log_capture.h"
#include "sim_world.h"

namespace fwu::test {
namespace {

const char* const kOutA5 =
    "out data:[0x:a5],[0x:e1],[0x:5a],[0x:1e],[0x:5],[0x:0],[0x:0],[0x:0],[0x:0],[0x:0],[0x:0],"
    "[0x:ff]";

Report SampleCommand() {
    Report r{};
    r[0] = 0x42;  // report ID never shows in the log
    BuildCommand(r, 0xE1);
    r[5] = 5;
    r[12] = 0xFF;
    r[13] = 0x77;  // beyond the logged bytes
    return r;
}

sim::Config InBootloader() {
    sim::Config cfg;
    cfg.startInBootloader = true;
    return cfg;
}

TEST(Transport, ExchangeDropsUnreadRepliesThenWritesPausesAndReadsIntoTheSameBuffer) {
    SimWorld w(InBootloader());
    sim::SimController ctl = w.backend.Controller(0);
    std::vector<std::size_t> pausesAt;  // transfers the controller had seen then
    w.sleeper.onSleep = [&](std::uint32_t) { pausesAt.push_back(ctl.Trace().size()); };
    DeviceHandle dev = OpenDevice(ctl.path());
    ASSERT_TRUE(dev);
    Report unread{};
    BuildCommand(unread, 0xE4);
    ASSERT_TRUE(dev->io().Write(unread.data(), unread.size()));

    Report r = SampleCommand();
    ASSERT_TRUE(CommandExchange(*dev, r));
    const Report sent = SampleCommand();
    const std::vector<sim::TraceEntry> trace = ctl.Trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[1].bytes, std::vector<std::uint8_t>(sent.begin(), sent.end()));  // as built
    EXPECT_EQ(pausesAt, std::vector<std::size_t>{2});  // between the write and the read
    // The reply to this command, not the one left unread, in the same buffer.
    EXPECT_EQ(trace[2].bytes, std::vector<std::uint8_t>(r.begin(), r.end()));
    EXPECT_EQ(r[2], 0xE1);
}

TEST(Transport, FailedWriteEndsTheExchangeWithoutReading) {
    sim::Config cfg = InBootloader();
    cfg.faults = {{sim::FaultKind::WriteFail, 1}};
    SimWorld w(cfg);
    DeviceHandle dev = OpenDevice(w.backend.Controller(0).path());
    Report r = SampleCommand();
    EXPECT_FALSE(CommandExchange(*dev, r));
    EXPECT_EQ(w.sleeper.calls.load(), 0u);  // no pause, no wait for a reply
}

// Scripted below: reads that return at once, so that the transport's own
// slices of the wait show (the simulated controller slices its waits itself).
TEST(Transport, SilentDeviceFailsWithinTheBoundInShortSlices) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    LogCapture log;
    Report r{};
    EXPECT_FALSE(ReadDataFromDevice(*dev, r));
    EXPECT_EQ(hid->readWaitedMs, kReadTimeoutMs);
    EXPECT_LE(hid->longestWaitMs, 50u);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"Error code:0x5b4"}));
}

TEST(Transport, CancelEndsAWaitingReadAtTheNextSlice) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    std::atomic<bool> stop{false};
    int silentReads = 0;
    hid->onSilentRead = [&] {
        if (++silentReads == 2) stop = true;
    };
    LogCapture log;
    CancelScope scope(stop);
    Report r{};
    EXPECT_FALSE(ReadDataFromDevice(*dev, r));
    EXPECT_EQ(silentReads, 2);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"Error code:0x4c7"}));
}

TEST(Transport, RemovalDuringAWaitFailsTheRead) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    hid->onSilentRead = [&] { dev->MarkGone(); };
    LogCapture log;
    Report r{};
    EXPECT_FALSE(ReadDataFromDevice(*dev, r));
    EXPECT_EQ(w.events.size(), 1u);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"Error code:0x48f"}));
}

TEST(Transport, TransfersOnARemovedDeviceNeverReachAnyDevice) {
    SimWorld w;
    sim::Config firstCfg = InBootloader();
    firstCfg.reportId = 5;
    sim::SimController first = w.backend.AddController(firstCfg);
    sim::SimController second = w.backend.AddController(InBootloader());
    SlotTable table;
    ASSERT_EQ(table.Take({OpenDevice(first.path()), 0x3A5C, 0x0001, 1, 7, first.path()}), 0);
    DeviceHandle jobCopy = table.Get(0).hidDevice;

    table.Release(0);
    ASSERT_EQ(table.Take({OpenDevice(second.path()), 0x3A5C, 0x0001, 1, 7, second.path()}), 0);
    Report query{};
    BuildCommand(query, 0xE1);
    ASSERT_TRUE(table.Get(0).hidDevice->io().Write(query.data(), query.size()));
    LogCapture log;

    Report r = SampleCommand();
    EXPECT_FALSE(SendDataToDevice(*jobCopy, r, true));
    EXPECT_FALSE(ReadDataFromDevice(*jobCopy, r));
    EXPECT_EQ(GetOutputReportId(*jobCopy), 0);
    EXPECT_TRUE(first.Trace().empty());
    EXPECT_EQ(second.Trace().size(), 1u);
    EXPECT_TRUE(second.InputPending());  // its reply still waits
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{kOutA5, "Error code:0x48f", "Error code:0x48f"}));
}

// Scripted: the exact bytes of a reply and the platform's error numbers.
TEST(TransportLog, LinesOfWritesAndReads) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    LogCapture log;

    Report r = SampleCommand();
    ASSERT_TRUE(SendDataToDevice(*dev, r, false));  // a data report leaves no line
    EXPECT_TRUE(log.Entries().empty());

    ASSERT_TRUE(SendDataToDevice(*dev, r, true));
    hid->replies.push_back(SampleCommand());
    ASSERT_TRUE(ReadDataFromDevice(*dev, r));

    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].file, "DeviceManager.cpp");
    EXPECT_EQ(entries[0].function, "SendDataToDevice");
    EXPECT_EQ(entries[0].message, kOutA5);
    EXPECT_EQ(entries[1].file, "DeviceManager.cpp");
    EXPECT_EQ(entries[1].function, "ReadDataFromDevice");
    EXPECT_EQ(entries[1].message, std::string("In") + (kOutA5 + 3));
}

TEST(TransportLog, FailedWritesLogTheErrorAfterTheOptionalOutLine) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    hid->writeOk = false;
    hid->errorNumber = 0x1F;
    LogCapture log;

    Report r = SampleCommand();
    EXPECT_FALSE(SendDataToDevice(*dev, r, true));
    EXPECT_FALSE(SendDataToDevice(*dev, r, false));
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].message, kOutA5);
    EXPECT_EQ(entries[1].message, "Error code:0x1f");
    EXPECT_EQ(entries[2].message, "Error code:0x1f");
    for (const auto& e : entries) EXPECT_EQ(e.function, "SendDataToDevice");
}

TEST(TransportLog, FailedReadLogsThePlatformError) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    hid->readFails = true;
    hid->errorNumber = 0x48F;
    LogCapture log;
    Report r{};
    EXPECT_FALSE(ReadDataFromDevice(*dev, r));
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].function, "ReadDataFromDevice");
    EXPECT_EQ(entries[0].message, "Error code:0x48f");
}

}  // namespace
}  // namespace fwu::test
