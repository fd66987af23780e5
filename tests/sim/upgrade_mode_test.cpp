// The bootloader of the simulated controller: both generations programming
// whole images, checksums, re-enumeration between images and after a restart.
#include "tests/sim/sim_host.h"

namespace fwu::sim::testing {
namespace {

Config OneIcBootloader(Generation gen) {
    Config cfg;
    cfg.ics = {SmallIc(0x0313, 0x1000 + 5 * 256 + 0x10)};  // block in page 5
    cfg.generation = gen;
    cfg.startInBootloader = true;
    return cfg;
}

class GenerationTest : public ::testing::TestWithParam<Generation> {};

TEST_P(GenerationTest, WholeImageLandsInFlashAndRestartsInNormalMode) {
    SleeperScope sleep;
    const Config cfg = OneIcBootloader(GetParam());
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    EventLog log;
    sim.Start(log.Callback());
    const std::string bootPath = ctl.path();
    Host host(sim, bootPath);
    ASSERT_TRUE(host.dev);

    const Report info = host.Info();
    EXPECT_EQ(LoadBe16(info.data() + 5), 0x0313);
    EXPECT_EQ(LoadBe16(info.data() + 7), 0x0100);  // from the version block in flash
    const bool gen2 = info[13] == 0x02 && info[14] == 0x35;
    EXPECT_EQ(gen2, GetParam() == Generation::V2_0);

    const Bytes plain = MakeFirmware(cfg.ics[0], 0x0140, 3);
    ASSERT_TRUE(host.Program(cfg.ics[0], plain, GetParam()));
    EXPECT_EQ(ctl.Flash(0), plain);
    EXPECT_EQ(ctl.Version(0), (FlashVersion{0x0140, 3}));
    EXPECT_EQ(ctl.mode(), Mode::Upgrade);  // nothing happens before the end of image

    ASSERT_TRUE(host.Simple(0xE6, 0, 0, 0x12));  // the reply is still delivered
    EXPECT_EQ(ctl.mode(), Mode::Normal);
    EXPECT_TRUE(ctl.ImageValid(0));
    ASSERT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.events[0], std::make_pair(HotplugEvent::Removal, bootPath));
    EXPECT_EQ(log.events[1], std::make_pair(HotplugEvent::Arrival, ctl.path()));
    EXPECT_NE(ctl.path(), bootPath);
    EXPECT_NE(ctl.path().find("vid_3a5c&pid_1f40"), std::string::npos);

    // The old handle is dead; the new one reports what the flash now holds.
    std::uint16_t vid = 0, pid = 0;
    EXPECT_FALSE(host.dev->GetAttributes(vid, pid));
    EXPECT_FALSE(host.dev->Write(info.data(), info.size()));
    auto normal = sim.Open(ctl.path());
    ASSERT_TRUE(normal);
    std::uint8_t str[126] = {};
    ASSERT_TRUE(normal->GetIndexedString(255, str, sizeof str));
    EXPECT_EQ(LoadBe16(str), 0x0313);
    EXPECT_EQ(LoadBe16(str + 2), 0x0140);
    EXPECT_EQ(LoadBe16(str + 4), 3);
    sim.Stop();
}

INSTANTIATE_TEST_SUITE_P(Both, GenerationTest,
                         ::testing::Values(Generation::V1_0, Generation::V2_0));

TEST(SimBootloader, ChecksumIsThePlainSumOfTheStoredPage) {
    SleeperScope sleep;
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

TEST(SimBootloader, ShortPageOrGenerationMismatchWritesNothing) {
    SleeperScope sleep;
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

TEST(SimBootloader, IncompleteImageStaysInBootloader) {
    SleeperScope sleep;
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

TEST(SimBootloader, UnverifiedPageKeepsImageIncomplete) {
    SleeperScope sleep;
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

TEST(SimBootloader, TwoIcsReenumerateBetweenImages) {
    SleeperScope sleep;
    const Config cfg;  // default: IC0 0x313, IC1 0x20D, normal mode
    SimBackend sim(cfg);
    SimController ctl = sim.Controller(0);
    EXPECT_EQ(ctl.Version(0), (FlashVersion{0x0130, 0}));
    EXPECT_EQ(ctl.Version(1), (FlashVersion{0x0110, 0}));

    // Enter the bootloader with the string request on 254.
    {
        auto normal = sim.Open(ctl.path());
        std::uint8_t buf[65] = {};
        for (std::size_t len = 14; len <= 18; ++len)
            ASSERT_TRUE(normal->GetIndexedString(254, buf, len));
    }
    ASSERT_EQ(ctl.mode(), Mode::Upgrade);
    EXPECT_EQ(ctl.identity(), kUpgradeId0001);

    const Bytes fw0 = MakeFirmware(cfg.ics[0], 0x0140, 1, 7);
    const Bytes fw1 = MakeFirmware(cfg.ics[1], 0x0120, 0, 9);
    {
        Host host(sim, ctl.path());
        EXPECT_EQ(LoadBe16(host.Info().data() + 5), 0x0313);
        ASSERT_TRUE(host.Program(cfg.ics[0], fw0, Generation::V2_0));
        ASSERT_TRUE(host.Simple(0xE6, 0, 0, 0x11));
    }
    ASSERT_EQ(ctl.mode(), Mode::Upgrade);
    EXPECT_EQ(ctl.currentIc(), 1);
    {
        Host host(sim, ctl.path());
        EXPECT_EQ(LoadBe16(host.Info().data() + 5), 0x020D);
        ASSERT_TRUE(host.Program(cfg.ics[1], fw1, Generation::V2_0));
        ASSERT_TRUE(host.Simple(0xE6, 0, 0, 0x12));
    }
    EXPECT_EQ(ctl.mode(), Mode::Normal);
    EXPECT_EQ(ctl.Version(0), (FlashVersion{0x0140, 1}));
    EXPECT_EQ(ctl.Version(1), (FlashVersion{0x0120, 0}));
    EXPECT_EQ(ctl.Reenumerations(), 3u);
}

TEST(SimBootloader, EndOfImageReplyAndLeavingWithoutRead) {
    SleeperScope sleep;
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

TEST(SimBootloader, AllUpdateOkWaitsForTheClosingCommandIn2_0Only) {
    SleeperScope sleep;
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

TEST(SimBootloader, ErasedFlashReportsFfff) {
    SleeperScope sleep;
    Config cfg = OneIcBootloader(Generation::V1_0);
    cfg.ics[0].programmed = false;
    SimBackend sim(cfg);
    Host host(sim, sim.Controller(0).path());
    const Report info = host.Info();
    EXPECT_EQ(LoadBe16(info.data() + 7), 0xFFFF);
    EXPECT_EQ(LoadBe16(info.data() + 9), 0xFFFF);
    EXPECT_FALSE(info[13] == 0x02 && info[14] == 0x35);
}

// Pauses cost nothing; a pause of `signalMs` is announced.
class SignallingSleeper : public ISleeper {
  public:
    explicit SignallingSleeper(std::uint32_t signalMs) : signalMs_(signalMs) { SetSleeper(this); }
    ~SignallingSleeper() override { SetSleeper(nullptr); }
    void Sleep(std::uint32_t ms) override {
        if (ms != signalMs_) return;
        std::lock_guard lock(mu);
        paused = true;
        cv.notify_all();
    }
    std::mutex mu;
    std::condition_variable cv;
    bool paused = false;

  private:
    std::uint32_t signalMs_;
};

TEST(SimBootloader, DelayedArrivalComesFromTimerThreadAfterTheRemoval) {
    SignallingSleeper sleeper(500);
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
            std::unique_lock lock(sleeper.mu);
            sleeper.cv.wait(lock, [&] { return sleeper.paused; });
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
