// The simulated controller in normal mode (identity strings, bootloader
// requests, rumble), its injectable faults and the backend's bookkeeping.
#include <thread>

#include "tests/sim/sim_host.h"

namespace fwu::sim::testing {
namespace {

using SimNormalMode = SimTest;
using SimFaults = SimTest;
using SimTrace = SimTest;
using SimTiming = SimTest;
using SimThreads = SimTest;

std::vector<std::pair<std::uint16_t, std::uint16_t>> PatternB() {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> steps;
    for (unsigned s = 0; s < 100; ++s) {
        const std::uint16_t left =
            s <= 98 ? static_cast<std::uint16_t>(65024u * (s + 2) / 100) : 0xFF00;
        const std::uint16_t right =
            s == 0 ? 0xFF00 : static_cast<std::uint16_t>(65024u * (101 - s) / 100);
        steps.emplace_back(left, right);
    }
    return steps;
}

TEST_F(SimNormalMode, IdentityStringAndPaths) {
    SimBackend sim;
    sim.AddController(Config{});
    Config only254;
    only254.identityStringIndex = 254;
    only254.normalId = {0x3A5C, 0x1F41};
    sim.AddController(only254);

    const std::vector<std::string> paths = sim.EnumeratePaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].rfind("\\\\?\\hid#vid_3a5c&pid_1f40#sim&0&", 0), 0u);
    EXPECT_NE(paths[1].find("vid_3a5c&pid_1f41"), std::string::npos);
    EXPECT_NE(paths[0].find("#{4d1e55b2-f16f-11cf-88cb-001111000030}"), std::string::npos);
    EXPECT_EQ(sim.EnumeratePaths(), paths);  // stable order

    auto first = sim.Open(paths[0]);
    std::uint8_t buf[126] = {};
    ASSERT_TRUE(first->GetIndexedString(255, buf, sizeof buf));
    const std::uint8_t expected[16] = {0x03, 0x13, 0x01, 0x30, 0, 0, 0, 0,
                                       0x02, 0x0D, 0x01, 0x10, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf, expected, 16), 0);
    EXPECT_EQ(buf[16], 0);

    auto second = sim.Open(paths[1]);
    std::uint8_t buf2[126] = {};
    EXPECT_FALSE(second->GetIndexedString(255, buf2, sizeof buf2));
    ASSERT_TRUE(second->GetIndexedString(254, buf2, sizeof buf2));
    EXPECT_EQ(std::memcmp(buf2, expected, 16), 0);

    // No input reports in normal mode.
    Report r{};
    EXPECT_EQ(first->Read(r.data(), r.size(), 50), ReadStatus::Timeout);
    EXPECT_EQ(sim.Open("\\\\?\\hid#vid_3a5c&pid_1f40#nothing"), nullptr);
}

TEST_F(SimNormalMode, EachEntryFormOnlyWhenHonoured) {
    const std::uint8_t switchHead[5] = {0, 0xB0, 0x07, 0x4F, 0xF8};
    auto sendSwitch = [&](IHidDevice& d, int count) {
        bool ok = true;
        for (int k = 0; k < count && ok; ++k) {
            std::uint8_t r[64] = {};
            std::memcpy(r, switchHead, 5);
            r[5] = static_cast<std::uint8_t>(0x10 + k);
            ok = d.SetOutputReport(r, 64);
        }
        return ok;
    };
    auto stringRequest = [](IHidDevice& d, std::uint8_t index) {
        std::uint8_t buf[65] = {};
        for (std::size_t len = 14; len <= 18; ++len)
            if (!d.GetIndexedString(index, buf, len)) return false;
        return true;
    };

    for (int form = 0; form < 4; ++form) {
        SCOPED_TRACE(form);
        Config cfg;
        cfg.entryForms = {form == 0, form == 1, form == 2, form == 3};
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        auto dev = sim.Open(ctl.path());
        EXPECT_EQ(stringRequest(*dev, 254), form == 0);
        if (form != 0) {
            EXPECT_EQ(stringRequest(*dev, 255), form == 1);
        }
        if (form > 1) {
            EXPECT_EQ(sendSwitch(*dev, 5), form == 2);
        }
        if (form > 2) {
            ASSERT_TRUE(sim.IsConnected(0));
            for (auto [l, r] : PatternB()) EXPECT_TRUE(sim.SetState(0, l, r));
        }
        EXPECT_EQ(ctl.mode(), Mode::Upgrade);
        EXPECT_EQ(ctl.currentIc(), 0);
        std::uint16_t vid = 0, pid = 0;
        EXPECT_FALSE(dev->GetAttributes(vid, pid));  // the old handle died
    }

    // None honoured: every form is refused and the controller stays.
    Config none;
    none.entryForms = {false, false, false, false};
    SimBackend sim(none);
    auto dev = sim.Open(sim.Controller(0).path());
    EXPECT_FALSE(stringRequest(*dev, 254));
    EXPECT_FALSE(stringRequest(*dev, 255));
    EXPECT_FALSE(sendSwitch(*dev, 1));
    EXPECT_FALSE(sim.IsConnected(0));
    EXPECT_EQ(sim.Controller(0).mode(), Mode::Normal);
}

TEST_F(SimNormalMode, PartialRequestsDoNotSwitch) {
    SimBackend sim{Config{}};
    SimController ctl = sim.Controller(0);
    auto dev = sim.Open(ctl.path());
    std::uint8_t buf[65] = {};
    for (std::size_t len : {14, 15, 17, 18}) dev->GetIndexedString(254, buf, len);  // 16 skipped
    for (std::size_t len : {14, 15, 16, 17}) dev->GetIndexedString(255, buf, len);  // 18 missing
    for (unsigned s = 0; s < 99; ++s) sim.SetState(0, PatternB()[s].first, PatternB()[s].second);
    sim.SetState(0, 0, 0);
    for (unsigned s = 1; s <= 100; ++s)  // pattern A
        sim.SetState(0, static_cast<std::uint16_t>(256 * s),
                     static_cast<std::uint16_t>(256 * (255 - s)));
    EXPECT_EQ(ctl.mode(), Mode::Normal);
    EXPECT_EQ(ctl.Reenumerations(), 0u);
}

TEST_F(SimFaults, TransferFaults) {
    Config cfg;
    cfg.startInBootloader = true;
    {
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        ctl.AddFault({FaultKind::WriteFail, 3});
        Host host(sim, ctl.path());
        EXPECT_TRUE(host.Simple(0xE1));   // transfers 1, 2
        EXPECT_FALSE(host.Simple(0xE1));  // write at 3 fails
        EXPECT_NE(host.dev->LastError(), 0u);
        EXPECT_TRUE(host.Simple(0xE1));  // once only
    }
    {
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        ctl.AddFault({FaultKind::ReadFail, 1});
        Host host(sim, ctl.path());
        EXPECT_FALSE(host.Simple(0xE1));  // the write passes, the read fails
        Report r = Host::Command(0xE4);
        ASSERT_TRUE(host.Exchange(r));
        EXPECT_EQ(r[2], 0xE4);  // the lost reply does not turn up later
    }
    {
        // The controller restarts after its end-of-image answer even when
        // the host never got it.
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        ctl.AddFault({FaultKind::ReadFail, 2});
        Host host(sim, ctl.path());
        EXPECT_FALSE(host.Simple(0xE6, 0, 0, 0x12));
        EXPECT_EQ(ctl.mode(), Mode::Normal);
    }
    {
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        EventLog log;
        sim.Start(log.Callback());
        ctl.AddFault({FaultKind::Remove, 2});
        Host host(sim, ctl.path());
        EXPECT_FALSE(host.Simple(0xE1));
        EXPECT_EQ(ctl.mode(), Mode::Absent);
        EXPECT_TRUE(sim.EnumeratePaths().empty());
        EXPECT_EQ(log.Count(), 1u);
        ctl.Plug();
        EXPECT_EQ(ctl.mode(), Mode::Upgrade);  // started in the bootloader
        sim.Stop();
    }
}

TEST_F(SimFaults, NoAnswerTimesOutAndHonoursCancel) {
    Config cfg;
    cfg.startInBootloader = true;
    cfg.faults = {{FaultKind::NoAnswer, 2}};
    SimBackend sim(cfg);
    Host host(sim, sim.Controller(0).path());
    Report r = Host::Command(0xE1);
    ASSERT_TRUE(host.dev->Write(r.data(), r.size()));
    EXPECT_EQ(host.dev->Read(r.data(), r.size(), 3000), ReadStatus::Timeout);
    EXPECT_GE(sleeper.total.load(), 3000u);

    std::atomic<bool> cancel{true};
    CancelScope scope(cancel);
    const auto before = sleeper.total.load();
    EXPECT_EQ(host.dev->Read(r.data(), r.size(), 1000000), ReadStatus::Timeout);
    EXPECT_LT(sleeper.total.load() - before, 100u);
}

TEST_F(SimFaults, AReadWaitedForInSlicesIsOneTransfer) {
    Config cfg;
    cfg.startInBootloader = true;
    cfg.faults = {{FaultKind::NoAnswer, 2}, {FaultKind::Remove, 4}};
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    Host host(sim, ctl.path());
    Report r = Host::Command(0xE1);
    ASSERT_TRUE(host.dev->Write(r.data(), r.size()));  // 1
    for (int k = 0; k < 5; ++k)                        // 2, however long it waits
        EXPECT_EQ(host.dev->Read(r.data(), r.size(), 10), ReadStatus::Timeout);
    EXPECT_EQ(ctl.mode(), Mode::Upgrade);
    ASSERT_TRUE(host.dev->Write(r.data(), r.size()));                       // 3
    EXPECT_EQ(host.dev->Read(r.data(), r.size(), 10), ReadStatus::Failed);  // 4
    EXPECT_EQ(ctl.mode(), Mode::Absent);
}

TEST_F(SimFaults, BadChecksumForOnePage) {
    Config cfg;
    cfg.ics = {SmallIc(0x0313, 0x1000 + 0x10)};
    cfg.startInBootloader = true;
    cfg.faults = {*ParseFault("bad-checksum@3")};
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    Host host(sim, ctl.path());
    const Bytes flash = ctl.Flash(0);
    EXPECT_EQ(host.ReadChecksum(0x1000 + 2 * 256), PlainSum(flash.data() + 2 * 256, 256));
    EXPECT_NE(host.ReadChecksum(0x1000 + 3 * 256), PlainSum(flash.data() + 3 * 256, 256));
    EXPECT_FALSE(host.Program(cfg.ics[0], MakeFirmware(cfg.ics[0], 0x200, 0), Generation::V2_0));
}

TEST_F(SimFaults, ReturnAndIdentityFaults) {
    auto enter = [](SimBackend& sim) {
        auto dev = sim.Open(sim.Controller(0).path());
        std::uint8_t buf[65] = {};
        bool ok = true;
        for (std::size_t len = 14; len <= 18; ++len)
            ok = ok && dev->GetIndexedString(254, buf, len);
        return ok;
    };
    {
        Config cfg;
        cfg.faults = {{FaultKind::NeverReturn, 0}};
        SimBackend sim(cfg);
        EXPECT_TRUE(enter(sim));
        EXPECT_EQ(sim.Controller(0).mode(), Mode::Absent);
        EXPECT_TRUE(sim.EnumeratePaths().empty());
    }
    {
        Config cfg;
        cfg.faults = {{FaultKind::WrongId, 0}};
        SimBackend sim(cfg);
        ASSERT_TRUE(enter(sim));
        Host host(sim, sim.Controller(0).path());
        EXPECT_NE(LoadBe16(host.Info().data() + 5), 0x0313);
    }
    {
        Config cfg;
        cfg.faults = {{FaultKind::NoStrings, 0}};
        SimBackend sim(cfg);
        EXPECT_FALSE(enter(sim));
        auto dev = sim.Open(sim.Controller(0).path());
        std::uint8_t buf[126] = {};
        EXPECT_FALSE(dev->GetIndexedString(255, buf, sizeof buf));
    }
}

TEST_F(SimFaults, ParseAndHelp) {
    EXPECT_EQ(ParseFault("write-fail@3"), (Fault{FaultKind::WriteFail, 3}));
    EXPECT_EQ(ParseFault("bad-checksum@0"), (Fault{FaultKind::BadChecksum, 0}));
    EXPECT_EQ(ParseFault("no-strings"), (Fault{FaultKind::NoStrings, 0}));
    for (const char* bad :
         {"", "write-fail", "write-fail@", "write-fail@0", "remove@-1", "remove@1x",
          "no-answer@99999999999", "wrong-id@2", "Write-Fail@1", "explode@1"})
        EXPECT_FALSE(ParseFault(bad)) << bad;
    const std::string help = FaultHelp();
    for (const char* name : {"write-fail@N", "read-fail@N", "remove@N", "bad-checksum@P",
                             "no-answer@N", "never-return", "wrong-id", "no-strings"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
        const std::string text = std::string(name).substr(0, std::string(name).find('@'));
        const auto parsed =
            ParseFault(text.size() == std::string(name).size() ? text : text + "@4");
        ASSERT_TRUE(parsed) << name;
        EXPECT_EQ(ParseFault(FaultName(*parsed)), parsed);
    }
}

TEST_F(SimTrace, RecordsBothDirectionsWithModeAndIc) {
    Config cfg;
    cfg.startInBootloader = true;
    cfg.reportId = 7;
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    Host host(sim, ctl.path());
    EXPECT_EQ(host.dev->OutputReportId(), 7);
    host.Info();
    const auto trace = ctl.Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].dir, TraceDir::HostToDevice);
    EXPECT_EQ(trace[0].bytes[2], 0xE1);
    EXPECT_EQ(trace[1].dir, TraceDir::DeviceToHost);
    EXPECT_EQ(trace[1].bytes[0], 7);
    EXPECT_EQ(trace[1].mode, Mode::Upgrade);
    EXPECT_EQ(trace[1].ic, 0);
    ctl.ClearTrace();
    EXPECT_TRUE(ctl.Trace().empty());
}

TEST_F(SimTiming, LatencyGoesThroughThePauseHook) {
    Config cfg;
    cfg.startInBootloader = true;
    cfg.latencyUs = 1500;
    SimBackend sim(cfg);
    Host host(sim, sim.Controller(0).path());
    for (int k = 0; k < 2; ++k) host.Info();  // four transfers, 6 ms
    EXPECT_EQ(sleeper.total.load(), 6u);
}

TEST_F(SimThreads, TransfersWhileAnotherThreadReplugsAndEnumerates) {
    Config cfg;
    cfg.startInBootloader = true;
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    EventLog log;
    sim.Start(log.Callback());
    std::atomic<bool> stop{false};
    std::thread plugger([&] {
        for (int k = 0; k < 200; ++k) {
            ctl.Unplug();
            ctl.Plug();
            sim.EnumeratePaths();
        }
        stop = true;
    });
    while (!stop.load()) {
        Host host(sim, ctl.path());
        if (host.dev) host.Simple(0xE1);
    }
    plugger.join();
    sim.Stop();
    EXPECT_EQ(log.Count(), 400u);
    EXPECT_EQ(ctl.mode(), Mode::Upgrade);
}

}  // namespace
}  // namespace fwu::sim::testing
