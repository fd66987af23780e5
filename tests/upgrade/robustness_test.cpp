// Image jobs and device queries against a controller that answers with
// random bytes, fails transfers at random, falls silent or goes away, with
// fixed seeds. Every job must end within a bounded number of transfers and
// tell the dialog how it ended, and no job may report a success unless the
// controller confirmed every page's checksum. Hand-made controllers: the
// simulated one answers only well-formed replies.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "base/bytes.h"
#include "device/DeviceManager.h"
#include "tests/support/bench.h"
#include "upgrade/status.h"

namespace fwu::test {
namespace {

// No job of the shipped package needs more than a few thousand transfers
// (the read timeout included); beyond this bound it is looping.
constexpr int kTransferBound = 30000;

// How one iteration's controller misbehaves.
struct Chaos {
    double writeFail = 0.0;
    double readFail = 0.0;
    double readSilent = 0.0;
    double goodChecksum = 0.0;  // chance that a checksum reply is the package's
    bool honestInfo = true;     // 0xE1 replies name the job's image, older version
    bool generation2 = true;    // the marker an honest 0xE1 reply carries
    int silentAfter = -1;       // from this transfer on, every read times out
    int goneAfter = -1;         // at this transfer the controller is unplugged
};

// What the controller saw and answered during one job.
struct Tally {
    int transfers = 0;
    bool runaway = false;
    bool checksumMismatch = false;           // some 0xE5 reply differed from the table
    std::set<std::uint32_t> confirmedPages;  // addresses answered with the right checksum
};

bool IsFrame(const Report& r, std::uint8_t code) {
    return r[1] == 0xA5 && r[2] == code && r[3] == 0x5A && r[4] == (code ^ 0xFF);
}

class RandomController : public IHidDevice {
  public:
    RandomController(std::mt19937& rng, const Chaos& chaos, const PackageImage& image, Tally& tally)
        : rng_(rng), chaos_(chaos), image_(image), tally_(tally) {
        for (std::uint32_t i = 0; i < image.pageCount(); ++i)
            checksums_[image.pageAddress(i)] = image.pageChecksum(i);
    }
    void Attach(HidHandle* handle) { handle_ = handle; }

    bool Write(const std::uint8_t* r, std::size_t n) override {
        if (!Count() || Chance(chaos_.writeFail) || n != kReportSize) return false;
        std::copy(r, r + n, last_.begin());
        return true;
    }

    ReadStatus Read(std::uint8_t* r, std::size_t n, std::uint32_t) override {
        if (!Count() || Chance(chaos_.readFail)) return ReadStatus::Failed;
        if ((chaos_.silentAfter >= 0 && tally_.transfers >= chaos_.silentAfter) ||
            Chance(chaos_.readSilent)) {
            return ReadStatus::Timeout;
        }
        Report reply{};
        for (auto& b : reply) b = static_cast<std::uint8_t>(rng_());
        if (IsFrame(last_, 0xE1)) Info(reply);
        if (IsFrame(last_, 0xE5)) Checksum(reply);
        std::copy_n(reply.begin(), std::min(n, reply.size()), r);
        return ReadStatus::Ok;
    }

    std::uint8_t OutputReportId() override { return static_cast<std::uint8_t>(rng_()); }
    bool GetIndexedString(std::uint8_t, std::uint8_t*, std::size_t) override { return false; }
    bool SetOutputReport(const std::uint8_t*, std::size_t) override { return false; }
    bool GetAttributes(std::uint16_t&, std::uint16_t&) override { return false; }
    void DropQueuedInput() override {}
    std::uint32_t LastError() const override { return 0x1F; }

  private:
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

    // False once the controller is gone or the job has run away.
    bool Count() {
        if (++tally_.transfers > kTransferBound) tally_.runaway = true;
        if (chaos_.goneAfter >= 0 && tally_.transfers >= chaos_.goneAfter && handle_ != nullptr)
            handle_->MarkGone();
        return !tally_.runaway;
    }

    void Info(Report& reply) {
        const std::uint16_t id = static_cast<std::uint16_t>(image_.header().updateId);
        if (!chaos_.honestInfo) {
            if (LoadBe16(&reply[5]) == id) reply[5] ^= 0x80;
            return;
        }
        StoreBe16(&reply[5], id);
        // Older than the package, so the image is always written.
        StoreBe16(&reply[7], static_cast<std::uint16_t>(rng_() % image_.header().fwVersion));
        const std::uint16_t marker = chaos_.generation2 ? 0x0235 : 0x0135;
        StoreBe16(&reply[13], marker);
    }

    void Checksum(Report& reply) {
        const auto it = checksums_.find(LoadLe32(&last_[5]));
        if (it == checksums_.end()) return;  // an address the image does not have
        if (Chance(chaos_.goodChecksum)) {
            StoreLe32(&reply[5], it->second);
            tally_.confirmedPages.insert(it->first);
            return;
        }
        if (LoadLe32(&reply[5]) == it->second) reply[5] ^= 0x01;
        tally_.checksumMismatch = true;
    }

    std::mt19937& rng_;
    Chaos chaos_;
    const PackageImage& image_;
    Tally& tally_;
    HidHandle* handle_ = nullptr;
    Report last_{};
    std::map<std::uint32_t, std::uint32_t> checksums_;  // page address -> table entry
};

Chaos RandomChaos(std::mt19937& rng) {
    const auto pick = [&rng](std::initializer_list<double> values) {
        return *(values.begin() + rng() % values.size());
    };
    Chaos c;
    c.writeFail = pick({0.0, 0.0, 0.001, 0.01, 0.3});
    c.readFail = pick({0.0, 0.0, 0.001, 0.01, 0.3});
    c.readSilent = pick({0.0, 0.0, 0.002, 0.05});
    c.goodChecksum = pick({0.0, 0.5, 0.98, 1.0, 1.0});
    c.honestInfo = rng() % 8 != 0;
    c.generation2 = rng() % 2 == 0;
    if (rng() % 8 == 0) c.silentAfter = static_cast<int>(rng() % 400);
    if (rng() % 8 == 0) c.goneAfter = static_cast<int>(rng() % 400);
    return c;
}

// One image job of the shipped package on a RandomController, handed to the
// worker as the dialog does.
struct Job {
    Tally tally;
    RecordingSink sink;
    UpgradeContext context;
};

void RunJob(Job& job, std::mt19937& rng, const Chaos& chaos, std::size_t k, bool force,
            std::vector<std::uint8_t> doneFlags) {
    const Package& pkg = DefaultPackage();
    const PackageImage image(pkg.images[k]);
    job.context.config = &pkg.config;
    job.context.hwnd = &job.sink;
    job.context.imageData = &pkg.images;
    job.context.currentImage = static_cast<std::int32_t>(k);
    job.context.forceUpdate = force;
    job.context.progressTotal = 1000;
    job.context.doneFlags = std::move(doneFlags);
    auto io = std::make_unique<RandomController>(rng, chaos, image, job.tally);
    RandomController* controller = io.get();
    auto device = std::make_shared<HidHandle>(std::move(io), "random");
    controller->Attach(device.get());
    SlotTable slots;
    slots.Take(DeviceSlot{device, UPGRADE_VID, kUpgradePid1, 1,
                          static_cast<std::uint16_t>(image.header().updateId), "random"});
    CWorkThread worker(job.context, slots);
    worker.OnStartUpgrade(image.header().updateId,
                          reinterpret_cast<std::intptr_t>(pkg.images[k].data()));
}

TEST(RandomController, JobsEndAndNeverClaimAnUnverifiedSuccess) {
    const Package& pkg = DefaultPackage();
    std::mt19937 rng(0xC0FFEE);
    FakeSleeper sleeper;
    const ScopedServices services({nullptr, &sleeper});
    int successes = 0;
    int failures = 0;
    for (int iter = 0; iter < 300; ++iter) {
        SCOPED_TRACE(iter);
        const Chaos chaos = RandomChaos(rng);
        // The long first image now and then; mostly the short second one.
        const std::size_t k = rng() % 4 == 0 ? 0 : 1;
        const bool force = rng() % 2 == 0;
        std::vector<std::uint8_t> doneFlags(pkg.config.imageCount, 0);
        bool othersDone = true;
        for (std::size_t j = 0; j < doneFlags.size(); ++j) {
            if (j == k) continue;
            doneFlags[j] = static_cast<std::uint8_t>(rng() % 2);
            othersDone = othersDone && doneFlags[j] != 0;
        }
        Job job;
        RunJob(job, rng, chaos, k, force, std::move(doneFlags));

        EXPECT_FALSE(job.tally.runaway);
        const int ok = job.sink.Successes();
        const int failed = static_cast<int>(job.sink.Of(WM_UPGRADE_RESULT).size()) - ok;
        const auto done = job.sink.Of(WM_UPGRADE_IMAGE_DONE).size();
        // The dialog always hears how the job ended, and only once.
        EXPECT_LE(ok + failed, 1);
        EXPECT_TRUE(failed == 1 || done == 1 || ok == 1);
        EXPECT_FALSE(failed == 1 && done == 1);
        if (ok == 1) {
            EXPECT_FALSE(job.tally.checksumMismatch);
            EXPECT_EQ(job.tally.confirmedPages.size(), PackageImage(pkg.images[k]).pageCount());
            EXPECT_TRUE(othersDone);
        }
        if (failed == 1) {
            const auto code = static_cast<std::int32_t>(job.sink.FirstFailure());
            EXPECT_NE(StatusText(code), nullptr) << code;
        }
        successes += ok;
        failures += failed;
        if (HasFailure()) break;
    }
    // Both outcomes were reached, so the checks above had something to judge.
    EXPECT_GT(successes, 0);
    EXPECT_GT(failures, 0);
}

// A controller whose every checksum reply is random never completes a job,
// whichever generation it speaks.
TEST(RandomController, RandomChecksumsAlwaysFail) {
    const Package& pkg = DefaultPackage();
    std::mt19937 rng(4242);
    FakeSleeper sleeper;
    const ScopedServices services({nullptr, &sleeper});
    for (int iter = 0; iter < 60; ++iter) {
        SCOPED_TRACE(iter);
        Chaos chaos;
        chaos.generation2 = iter % 2 == 0;
        const std::size_t k = static_cast<std::size_t>(iter) % 2;
        std::vector<std::uint8_t> doneFlags(pkg.config.imageCount, 1);
        doneFlags[k] = 0;
        Job job;
        RunJob(job, rng, chaos, k, true, std::move(doneFlags));
        EXPECT_EQ(job.sink.Successes(), 0);
        EXPECT_EQ(job.sink.FirstFailure(), kStatusChecksum);
        EXPECT_TRUE(job.context.upgradeResults.empty());
    }
}

// Device queries on random replies, random read outcomes and string
// descriptors of random length: they never write past the records they were
// given and report only what they could read.
class RandomQueryDevice : public IHidDevice {
  public:
    explicit RandomQueryDevice(std::mt19937& rng) : rng_(rng) {}
    bool Write(const std::uint8_t*, std::size_t) override { return rng_() % 8 != 0; }
    ReadStatus Read(std::uint8_t* r, std::size_t n, std::uint32_t) override {
        switch (rng_() % 8) {
            case 0:
                return ReadStatus::Failed;
            case 1:
                return ReadStatus::Timeout;
            default:
                for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(rng_());
                return ReadStatus::Ok;
        }
    }
    std::uint8_t OutputReportId() override { return static_cast<std::uint8_t>(rng_()); }
    bool GetIndexedString(std::uint8_t, std::uint8_t* buffer, std::size_t length) override {
        if (rng_() % 6 == 0) return false;
        const std::size_t n = std::min<std::size_t>(length, rng_() % 300);
        for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(rng_());
        return true;
    }
    bool SetOutputReport(const std::uint8_t*, std::size_t) override { return false; }
    bool GetAttributes(std::uint16_t&, std::uint16_t&) override { return false; }
    void DropQueuedInput() override {}
    std::uint32_t LastError() const override { return 0x1F; }

  private:
    std::mt19937& rng_;
};

TEST(RandomController, DeviceQueriesStayInsideTheirRecords) {
    std::mt19937 rng(31337);
    FakeSleeper sleeper;
    const ScopedServices services({nullptr, &sleeper});
    constexpr std::uint16_t kUntouched = 0xBEEF;
    int answered = 0;
    for (int iter = 0; iter < 2000; ++iter) {
        SCOPED_TRACE(iter);
        HidHandle device(std::make_unique<RandomQueryDevice>(rng), "random");
        if (rng() % 50 == 0) device.MarkGone();
        std::array<DeviceInfo, kMaxImages + 4> records;
        records.fill(DeviceInfo{kUntouched, kUntouched, kUntouched, -1.0f});
        const int mode = rng() % 2 == 0 ? kModeUpgrade : kModeNormal;
        const int count = static_cast<int>(rng() % (kMaxImages + 5)) - 2;
        const bool ok = GetDeviceInfo(device, records.data(), mode, count);
        // Upgrade mode fills the first record only; normal mode at most
        // `count` of them and never more than the configuration can name.
        const int filled = !ok ? 0 : mode == kModeUpgrade ? 1 : std::clamp(count, 0, kMaxImages);
        for (int i = filled; i < static_cast<int>(records.size()); ++i) {
            EXPECT_EQ(records[static_cast<std::size_t>(i)].updateId, kUntouched) << i;
            EXPECT_EQ(records[static_cast<std::size_t>(i)].fwVersion, kUntouched) << i;
        }
        if (ok && mode == kModeUpgrade) {
            EXPECT_TRUE(records[0].protocolVersion == 1.0f || records[0].protocolVersion == 2.0f);
        }
        // A device reports "no value" as 0xFFFF; it never shows as a version.
        for (int i = 0; i < filled; ++i) {
            EXPECT_NE(records[static_cast<std::size_t>(i)].fwVersion, 0xFFFF);
            EXPECT_NE(records[static_cast<std::size_t>(i)].subVersion, 0xFFFF);
        }
        answered += ok ? 1 : 0;
        if (HasFailure()) break;
    }
    EXPECT_GT(answered, 500);
}

}  // namespace
}  // namespace fwu::test
