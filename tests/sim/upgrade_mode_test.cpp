// The bootloader of the simulated controller: checksums, images left
// incomplete, the end-of-image reply, erased flash and delayed re-enumeration.
// Whole downloads of both generations, re-enumeration between images and the
// versions reported after the restart are checked with the upgrade engine
// (tests/upgrade/download_test.cpp).
#include "tests/sim/sim_host.h"

namespace fwu::sim::testing {
namespace {

using SimBootloader = SimTest;

Config OneIcBootloader(Generation gen) {
    Config cfg;
    cfg.ics = {SmallIc(0x0313, 0x1000 + 5 * 256 + 0x10)};  // block in page 5
    cfg.generation = gen;
    cfg.startInBootloader = true;
    return cfg;
}

TEST_F(SimBootloader, ChecksumIsThePlainSumOfTheStoredPage) {
    const Config cfg = OneIcBootloader(Generation::V2_0);
    SimBackend sim(cfg);
    Host host(sim, sim.Controller(0).path());
    const Bytes plain = MakeFirmware(cfg.ics[0], 0x0140, 0);
    ASSERT_TRUE(host.Program(cfg.ics[0], plain, Generation::V2_0));
    for (std::uint32_t p = 0; p < 8; ++p)
        EXPECT_EQ(host.ReadChecksum(0x1000 + p * 256), PlainSum(plain.data() + p * 256, 256));
    // Outside the flash or not a page start: 0.
    EXPECT_EQ(host.ReadChecksum(0x1000 + 8 * 256), 0u);
    EXPECT_EQ(host.ReadChecksum(0x1001), 0u);
}

TEST_F(SimBootloader, ShortPageOrGenerationMismatchWritesNothing) {
    Config cfg = OneIcBootloader(Generation::V1_0);
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    Host host(sim, ctl.path());
    const Bytes before = ctl.Flash(0);
    // A 2.0 sequence on a 1.0 bootloader: 0xE2 opens nothing.
    ASSERT_TRUE(host.Simple(0xE2, 0, 0, 0xAB));
    Bytes data(256, 0x42);
    ASSERT_TRUE(host.SendData(data.data(), 256));
    ASSERT_TRUE(host.Simple(0xE4));
    // A page with one data report missing is not committed.
    ASSERT_TRUE(host.Simple(0xE3, 0x1000, 0));
    ASSERT_TRUE(host.SendData(data.data(), 192));
    ASSERT_TRUE(host.Simple(0xE4));
    EXPECT_EQ(ctl.Flash(0), before);
    EXPECT_TRUE(ctl.ImageValid(0));
}

TEST_F(SimBootloader, IncompleteImageStaysInBootloader) {
    const Config cfg = OneIcBootloader(Generation::V2_0);
    struct Case {
        const char* name;
        bool skipFinal;
        bool rewritePageAfter;  // final page not written last
    } cases[] = {{"final page missing", true, false}, {"final page not last", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        Host host(sim, ctl.path());
        const Bytes plain = MakeFirmware(cfg.ics[0], 0x0140, 0);
        ASSERT_TRUE(host.Program(cfg.ics[0], plain, Generation::V2_0, c.skipFinal));
        if (c.rewritePageAfter) {
            Bytes stored(256);
            ScramblePage(0x1000, ByteView(plain.data(), 256), stored);
            ASSERT_TRUE(host.Simple(0xE2, 0, 0, 0xAB));
            ASSERT_TRUE(host.SendData(stored.data(), 256));
            ASSERT_TRUE(host.Simple(0xE3, 0x1000, 0));
            ASSERT_TRUE(host.Simple(0xE4));
            ASSERT_TRUE(host.ReadChecksum(0x1000));
        }
        const std::string before = ctl.path();
        ASSERT_TRUE(host.Simple(0xE6, 0, 0, 0x12));
        EXPECT_EQ(ctl.mode(), Mode::Upgrade);
        EXPECT_NE(ctl.path(), before);
        EXPECT_FALSE(ctl.ImageValid(0));
        // The same is true after a power cycle.
        ctl.Unplug();
        ctl.Plug();
        EXPECT_EQ(ctl.mode(), Mode::Upgrade);
    }
}

TEST_F(SimBootloader, UnverifiedPageKeepsImageIncomplete) {
    const Config cfg = OneIcBootloader(Generation::V2_0);
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    Host host(sim, ctl.path());
    // Program every page, but skip the read-back of page 2.
    const IcConfig& ic = cfg.ics[0];
    const Bytes plain = MakeFirmware(ic, 0x0140, 0);
    for (std::uint32_t i = 0; i <= 8; ++i) {
        if (i == 5) continue;
        const std::uint32_t p = i == 8 ? 5 : i;
        Bytes stored(256);
        ScramblePage(0x1000 + p * 256, ByteView(plain.data() + p * 256, 256), stored);
        ASSERT_TRUE(host.Simple(0xE2, 0, 0, 0xAB));
        ASSERT_TRUE(host.SendData(stored.data(), 256));
        ASSERT_TRUE(host.Simple(0xE3, 0x1000 + p * 256, 0));
        ASSERT_TRUE(host.Simple(0xE4));
        if (p != 2) {
            ASSERT_TRUE(host.ReadChecksum(0x1000 + p * 256));
        }
    }
    ASSERT_TRUE(host.Simple(0xE6, 0, 0, 0x12));
    EXPECT_EQ(ctl.mode(), Mode::Upgrade);
}

TEST_F(SimBootloader, EndOfImageReplyAndLeavingWithoutRead) {
    Config cfg = OneIcBootloader(Generation::V2_0);
    cfg.answerAllUpdateOk = true;
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    {
        Host host(sim, ctl.path());
        Report r = Host::Command(0xE6);
        r[5] = 0x11;
        ASSERT_TRUE(host.Exchange(r));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 9), 12), "ALLUpdateOK.");
        EXPECT_EQ(r[2], 0xE6);
    }
    // Single IC: 0x11 restarts like 0x12; nothing was written, image still valid.
    EXPECT_EQ(ctl.mode(), Mode::Normal);

    // A host that closes its handle without reading the reply still sees the
    // controller leave.
    ctl.Unplug();
    cfg.answerAllUpdateOk = false;
    SimBackend sim2(cfg);
    SimController ctl2 = sim2.Controller(0);
    {
        Host host(sim2, ctl2.path());
        Report r = Host::Command(0xE6);
        r[5] = 0x12;
        ASSERT_TRUE(host.dev->Write(r.data(), r.size()));
        EXPECT_EQ(ctl2.mode(), Mode::Upgrade);
    }
    EXPECT_EQ(ctl2.mode(), Mode::Normal);
}

TEST_F(SimBootloader, AllUpdateOkWaitsForTheClosingCommandIn2_0Only) {
    auto answerFirstEnd = [](Host& host) {
        Report r = Host::Command(0xE6);
        r[5] = 0x11;
        EXPECT_TRUE(host.Exchange(r));
        return std::string(reinterpret_cast<const char*>(r.data() + 9), 12);
    };
    for (const bool closes : {true, false}) {
        Config cfg;  // two ICs
        cfg.startInBootloader = true;
        cfg.answerAllUpdateOk = true;
        SimBackend sim(cfg);
        SimController ctl = sim.Controller(0);
        const std::string path = ctl.path();
        Host host(sim, path);
        EXPECT_EQ(answerFirstEnd(host), "ALLUpdateOK.");
        EXPECT_EQ(ctl.path(), path);  // still there for the closing command
        if (closes) {
            EXPECT_TRUE(host.Simple(0xE6, 0, 0, 0x12));
        } else {
            EXPECT_FALSE(host.Simple(0xE1));  // anything else: it has gone
        }
        EXPECT_EQ(ctl.mode(), Mode::Normal);  // restarted, not on to IC1
    }
    // A 1.0 bootloader expects nothing more and moves on at once.
    Config cfg;
    cfg.startInBootloader = true;
    cfg.answerAllUpdateOk = true;
    cfg.generation = Generation::V1_0;
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    Host host(sim, ctl.path());
    EXPECT_EQ(answerFirstEnd(host), "ALLUpdateOK.");
    EXPECT_EQ(ctl.mode(), Mode::Upgrade);
    EXPECT_EQ(ctl.currentIc(), 1);
}

TEST_F(SimBootloader, ErasedFlashReportsFfff) {
    Config cfg = OneIcBootloader(Generation::V1_0);
    cfg.ics[0].programmed = false;
    SimBackend sim(cfg);
    Host host(sim, sim.Controller(0).path());
    const Report info = host.Info();
    EXPECT_EQ(LoadBe16(info.data() + 7), 0xFFFF);
    EXPECT_EQ(LoadBe16(info.data() + 9), 0xFFFF);
    EXPECT_FALSE(info[13] == 0x02 && info[14] == 0x35);
}

TEST_F(SimBootloader, DelayedArrivalComesFromTimerThreadAfterTheRemoval) {
    // The timer thread's pause before the arrival is announced.
    std::mutex pauseMu;
    std::condition_variable pauseCv;
    bool paused = false;
    sleeper.onSleep = [&](std::uint32_t ms) {
        if (ms != 500) return;
        std::lock_guard lock(pauseMu);
        paused = true;
        pauseCv.notify_all();
    };
    Config cfg = OneIcBootloader(Generation::V2_0);
    cfg.reenumerationDelayMs = 500;
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    std::mutex mu;
    std::condition_variable cv;
    std::vector<HotplugEvent> seen;
    sim.Start([&](HotplugEvent e, const std::string&) {
        if (e == HotplugEvent::Removal) {
            // Hold the removal until the timer thread has done its pause,
            // giving an arrival every chance to overtake it.
            std::unique_lock lock(pauseMu);
            pauseCv.wait(lock, [&] { return paused; });
            std::unique_lock seenLock(mu);
            cv.wait_for(seenLock, std::chrono::milliseconds(20), [&] { return !seen.empty(); });
        }
        std::lock_guard lock(mu);
        seen.push_back(e);
        cv.notify_all();
    });
    {
        Host host(sim, ctl.path());
        ASSERT_TRUE(host.Simple(0xE6, 0, 0, 0x12));
    }
    std::unique_lock lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[0], HotplugEvent::Removal);
    EXPECT_EQ(seen[1], HotplugEvent::Arrival);
    lock.unlock();
    EXPECT_EQ(ctl.mode(), Mode::Normal);
    sim.Stop();
}

}  // namespace
}  // namespace fwu::sim::testing
