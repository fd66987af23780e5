#include <gtest/gtest.h>

#include <atomic>

#include "device/DeviceManager.h"
#include "fakes.h"
#include "log_capture.h"

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

TEST(Transport, ExchangeWritesPausesThenReadsIntoTheSameBuffer) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    Report reply{};
    reply[0] = 0x42;
    reply[3] = 0x99;
    hid->replies.push_back(reply);

    Report r = SampleCommand();
    ASSERT_TRUE(CommandExchange(*dev, r));
    ASSERT_EQ(hid->writes.size(), 1u);
    EXPECT_EQ(hid->writes[0], SampleCommand());  // all 65 bytes as built
    EXPECT_EQ(r, reply);
    // Reports still queued are dropped before the command goes out.
    EXPECT_EQ(w.events, (Events{"drop path0", "write path0", "pause 1", "read path0"}));
}

TEST(Transport, FailedWriteEndsTheExchangeWithoutReading) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    hid->writeOk = false;
    Report r = SampleCommand();
    EXPECT_FALSE(CommandExchange(*dev, r));
    EXPECT_EQ(w.events, (Events{"drop path0", "write path0"}));
}

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
    FakeWorld w;
    std::shared_ptr<FakeHid> first;
    std::shared_ptr<FakeHid> second;
    SlotTable table;
    ASSERT_EQ(table.Take({w.Open(first), 0x3A5C, 0x0001, 1, 7, "path0"}), 0);
    DeviceHandle jobCopy = table.Get(0).hidDevice;

    table.Release(0);
    ASSERT_EQ(table.Take({w.Open(second), 0x3A5C, 0x0001, 1, 7, "path1"}), 0);
    second->replies.push_back(Report{});
    LogCapture log;

    Report r = SampleCommand();
    EXPECT_FALSE(SendDataToDevice(*jobCopy, r, true));
    EXPECT_FALSE(ReadDataFromDevice(*jobCopy, r));
    EXPECT_EQ(GetOutputReportId(*jobCopy), 0);
    EXPECT_TRUE(w.events.empty());
    EXPECT_EQ(second->replies.size(), 1u);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{kOutA5, "Error code:0x48f", "Error code:0x48f"}));
}

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
