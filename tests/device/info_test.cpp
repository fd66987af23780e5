#include <gtest/gtest.h>

#include "device/DeviceManager.h"
#include "fakes.h"
#include "sim_world.h"

namespace fwu::test {
namespace {

DeviceInfo Sentinel() {
    return {0x1111, 0x2222, 0x3333, 9.0f};
}

bool Same(const DeviceInfo& a, const DeviceInfo& b) {
    return a.updateId == b.updateId && a.fwVersion == b.fwVersion && a.subVersion == b.subVersion &&
           a.protocolVersion == b.protocolVersion;
}

// A 2.0 bootloader whose IC reports identifier 0xFFFF and, its flash
// erased, versions 0xFFFF.
sim::Config ErasedBootloader() {
    sim::Config cfg;
    cfg.startInBootloader = true;
    cfg.reportId = 7;
    cfg.ics.resize(1);
    cfg.ics[0].updateId = 0xFFFF;
    cfg.ics[0].programmed = false;
    return cfg;
}

TEST(UpgradeModeInfo, RequestFrameAndReplyWords) {
    SimWorld w(ErasedBootloader());
    sim::SimController ctl = w.backend.Controller(0);
    DeviceHandle dev = OpenDevice(ctl.path());

    std::array<DeviceInfo, 3> records{};
    records[1] = Sentinel();
    ASSERT_TRUE(GetDeviceInfo(*dev, records.data(), kModeUpgrade, 3));

    std::vector<std::uint8_t> expected(kReportSize, 0);
    expected[0] = 7;
    expected[1] = 0xA5;
    expected[2] = 0xE1;
    expected[3] = 0x5A;
    expected[4] = 0x1E;
    const std::vector<sim::TraceEntry> trace = ctl.Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].bytes, expected);

    EXPECT_EQ(records[0].updateId, 0xFFFF);  // only versions read 0xFFFF as 0
    EXPECT_EQ(records[0].fwVersion, 0);
    EXPECT_EQ(records[0].subVersion, 0);
    EXPECT_EQ(records[0].protocolVersion, 2.0f);
    EXPECT_TRUE(Same(records[1], Sentinel()));  // only the first record is filled
}

TEST(UpgradeModeInfo, BigEndianWordsAndProtocolMarkers) {
    struct Case {
        std::uint16_t marker;
        float protocol;
    };
    for (const Case c :
         {Case{0x0235, 2.0f}, Case{0x3502, 1.0f}, Case{0x0236, 1.0f}, Case{0x0000, 1.0f}}) {
        FakeWorld w;
        std::shared_ptr<FakeHid> hid;
        DeviceHandle dev = w.Open(hid);
        hid->replies.push_back(InfoReply(0x1234, 0x0102, 0x0A0B, c.marker));
        DeviceInfo info{};
        ASSERT_TRUE(GetDeviceInfo(*dev, &info, kModeUpgrade, 1));
        EXPECT_EQ(info.updateId, 0x1234);
        EXPECT_EQ(info.fwVersion, 0x0102);
        EXPECT_EQ(info.subVersion, 0x0A0B);
        EXPECT_EQ(info.protocolVersion, c.protocol) << std::hex << c.marker;
    }
}

TEST(UpgradeModeInfo, FailedExchangeLeavesTheRecord) {
    for (const sim::FaultKind fault : {sim::FaultKind::NoAnswer, sim::FaultKind::WriteFail}) {
        sim::Config cfg = ErasedBootloader();
        cfg.faults = {{fault, 1}};
        SimWorld w(cfg);
        DeviceHandle dev = OpenDevice(w.backend.Controller(0).path());
        DeviceInfo info = Sentinel();
        EXPECT_FALSE(GetDeviceInfo(*dev, &info, kModeUpgrade, 1));
        EXPECT_TRUE(Same(info, Sentinel()));
    }
}

// Scripted: protocol markers and identity strings the simulated controller
// does not produce.
TEST(NormalModeInfo, ReadsString255First) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    hid->strings[255] = InfoString({{0x0011, 0x0203, 0xFFFF}, {0xFFFF, 0xFFFF, 0x0004}});
    hid->strings[254] = InfoString({{0x0099, 0x0909, 0x0909}});

    std::array<DeviceInfo, 2> records{};
    records[0].protocolVersion = 1.0f;
    ASSERT_TRUE(GetDeviceInfo(*dev, records.data(), kModeNormal, 2));
    EXPECT_EQ(w.events, (Events{"string 255 126"}));
    EXPECT_EQ(records[0].updateId, 0x0011);
    EXPECT_EQ(records[0].fwVersion, 0x0203);
    EXPECT_EQ(records[0].subVersion, 0);
    EXPECT_EQ(records[0].protocolVersion, 1.0f);  // left as the caller set it
    EXPECT_EQ(records[1].updateId, 0xFFFF);
    EXPECT_EQ(records[1].fwVersion, 0);
    EXPECT_EQ(records[1].subVersion, 4);
}

TEST(NormalModeInfo, FallsBackTo254AndShortStringsLeaveZeroRecords) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    hid->strings[254] = InfoString({{0x0033, 0x0100, 0x0002}});

    std::array<DeviceInfo, 3> records{};
    ASSERT_TRUE(GetDeviceInfo(*dev, records.data(), kModeNormal, 3));
    EXPECT_EQ(w.events, (Events{"string 255 126", "string 254 126"}));
    EXPECT_EQ(records[0].updateId, 0x0033);
    EXPECT_EQ(records[0].subVersion, 2);
    EXPECT_TRUE(Same(records[1], DeviceInfo{}));
    EXPECT_TRUE(Same(records[2], DeviceInfo{}));
}

TEST(NormalModeInfo, NoStringMeansFalseAndCountZeroMeansTrue) {
    FakeWorld w;
    std::shared_ptr<FakeHid> hid;
    DeviceHandle dev = w.Open(hid);
    DeviceInfo info = Sentinel();
    EXPECT_FALSE(GetDeviceInfo(*dev, &info, kModeNormal, 1));
    EXPECT_TRUE(Same(info, Sentinel()));

    hid->strings[255] = InfoString({{1, 2, 3}});
    EXPECT_TRUE(GetDeviceInfo(*dev, &info, kModeNormal, 0));
    EXPECT_TRUE(Same(info, Sentinel()));
}

}  // namespace
}  // namespace fwu::test
