// Whole downloads against the simulated controller: what the controller
// receives, what ends up in its flash, how it re-enumerates, and what the
// dialog is told.
#include <gtest/gtest.h>

#include <array>

#include "device/DeviceManager.h"
#include "tests/support/bench.h"
#include "upgrade/status.h"

namespace fwu::test {
namespace {

using Reports = std::vector<std::vector<std::uint8_t>>;

constexpr std::size_t kHeaderFwVersionHigh = 0x06;  // upper half of the header's fwVersion

std::vector<std::uint8_t> Command(std::uint8_t code, std::uint32_t a = 0, std::uint32_t b = 0,
                                  std::uint8_t byte9 = 0) {
    std::vector<std::uint8_t> r(kReportSize, 0);
    r[1] = 0xA5;
    r[2] = code;
    r[3] = 0x5A;
    r[4] = static_cast<std::uint8_t>(code ^ 0xFF);
    for (int i = 0; i < 4; ++i) {
        r[5 + i] = static_cast<std::uint8_t>(a >> (8 * i));
        r[9 + i] = static_cast<std::uint8_t>(b >> (8 * i));
    }
    if (byte9 != 0) r[9] = byte9;
    return r;
}

void AppendData(Reports& out, const PackageImage& img, std::uint32_t p) {
    const auto page = img.page(p);
    for (std::uint32_t k = 0; k < img.reportsPerPage(); ++k) {
        std::vector<std::uint8_t> r(kReportSize, 0);
        std::copy_n(page.begin() + 64 * k, 64, r.begin() + 1);
        out.push_back(r);
    }
}

std::vector<std::uint32_t> PageOrder(const PackageImage& img) {
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i <= img.pageCount(); ++i) {
        if (i == img.finalPageIndex()) continue;
        order.push_back(i == img.pageCount() ? img.finalPageIndex() : i);
    }
    return order;
}

// Every report the engine should send for one image, device queries aside.
Reports Expected(const PackageImage& img, sim::Generation g, std::uint8_t endParam) {
    Reports out;
    if (g == sim::Generation::V1_0) {
        const std::uint32_t f = img.finalPageIndex();
        out.push_back(Command(0xE3, img.pageAddress(f), f));
        AppendData(out, img, f);
    }
    for (std::uint32_t p : PageOrder(img)) {
        if (g == sim::Generation::V2_0) {
            out.push_back(Command(0xE2, 0xAB));
            AppendData(out, img, p);
            out.push_back(Command(0xE3, img.pageAddress(p), img.pageChecksum(p)));
        } else {
            out.push_back(Command(0xE3, img.pageAddress(p), p));
            AppendData(out, img, p);
        }
        out.push_back(Command(0xE4));
        out.push_back(Command(0xE5, img.pageAddress(p), 0, 0x01));
    }
    out.push_back(Command(0xE6, endParam));
    return out;
}

Reports WithoutQueries(const Reports& sent) {
    Reports out;
    for (const auto& r : sent) {
        if (!IsCommand(r, 0xE1)) out.push_back(r);
    }
    return out;
}

class WholeRun : public ::testing::TestWithParam<sim::Generation> {};

TEST_P(WholeRun, ControllerReceivesEveryPageInOrderAndEndsUpWithThePackage) {
    const Package& pkg = DefaultPackage();
    Bench bench(pkg, SimFor(pkg, GetParam()));
    std::vector<HotplugEvent> replugs;
    bench.backend.Start([&](HotplugEvent e, const std::string&) { replugs.push_back(e); });
    ASSERT_EQ(bench.RunAll(), 2);
    bench.backend.Stop();

    const PackageImage img0(pkg.images[0]), img1(pkg.images[1]);
    ASSERT_EQ(img0.pageCount(), 97u);
    ASSERT_EQ(img0.finalPageIndex(), 23u);
    std::vector<std::uint32_t> order0;
    for (std::uint32_t p = 0; p <= 22; ++p) order0.push_back(p);
    for (std::uint32_t p = 24; p <= 96; ++p) order0.push_back(p);
    order0.push_back(23);
    EXPECT_EQ(PageOrder(img0), order0);

    Reports expected = Expected(img0, GetParam(), 0x11);
    const Reports second = Expected(img1, GetParam(), 0x12);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(bench.Sent().size(), ReportsOfRun(pkg, GetParam()));  // as the benchmarks count
    const Reports sent = WithoutQueries(bench.Sent());
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(sent[i], expected[i]) << "report " << i;

    for (int k = 0; k < 2; ++k) {
        EXPECT_TRUE(bench.controller.ImageValid(k));
        EXPECT_EQ(bench.controller.Flash(k), pkg.firmware[k]) << "IC " << k;
    }
    // It went on to the second IC under a new interface, then restarted in
    // normal mode, where it reports the versions now in its flash.
    const std::vector<HotplugEvent> pairs{HotplugEvent::Removal, HotplugEvent::Arrival,
                                          HotplugEvent::Removal, HotplugEvent::Arrival};
    EXPECT_EQ(replugs, pairs);
    ASSERT_EQ(bench.controller.mode(), sim::Mode::Normal);
    DeviceHandle normal = OpenDevice(bench.controller.path());
    ASSERT_TRUE(normal);
    std::array<DeviceInfo, 2> info{};
    ASSERT_TRUE(GetDeviceInfo(*normal, info.data(), kModeNormal, 2));
    EXPECT_EQ(info[0].updateId, 0x313);
    EXPECT_EQ(info[0].fwVersion, 0x0140);
    EXPECT_EQ(info[0].subVersion, 1);
    EXPECT_EQ(info[1].updateId, 0x20D);
    EXPECT_EQ(info[1].fwVersion, 0x0120);
    EXPECT_EQ(info[1].subVersion, 0);

    // One success, after the last image was verified and before its 0xE6.
    const auto results = bench.sink.Of(WM_UPGRADE_RESULT);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].wParam, kResultSuccess);
    const std::vector<ImageResult> want{{img0.checksumSum(), 0x0140, 1, 1},
                                        {img1.checksumSum(), 0x0120, 0, 0}};
    EXPECT_EQ(results[0].results, want);
    EXPECT_EQ(bench.context.upgradeResults, want);
    const auto trace = bench.controller.Trace();
    std::size_t lastEnd = 0;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].dir == sim::TraceDir::HostToDevice && IsCommand(trace[i].bytes, 0xE6)) {
            lastEnd = i;
        }
    }
    EXPECT_LE(results[0].traceSize, lastEnd);
    EXPECT_EQ(bench.sink.Of(WM_UPGRADE_IMAGE_DONE).size(), 2u);
    // 1 ms around every exchange, and 3000 ms at the end of each image.
    EXPECT_EQ(bench.sleeper.total.load(), bench.sleeper.calls.load() - 2 + 6000);
}

TEST_P(WholeRun, ProgressCountsEveryReportAndCommandStep) {
    const Package& pkg = DefaultPackage();
    Bench bench(pkg, SimFor(pkg, GetParam()));
    ASSERT_EQ(bench.context.progressTotal, 2624.0);
    ASSERT_EQ(bench.RunAll(), 2);

    const bool v2 = GetParam() == sim::Generation::V2_0;
    const std::vector<std::int32_t> counters =
        v2 ? std::vector<std::int32_t>{2135, 2626} : std::vector<std::int32_t>{2134, 2624};
    EXPECT_EQ(bench.counterAfterImage, counters);

    // Range 2624 equals the total, so every position is the counter itself
    // (or one below it, where counter / total x range rounds down): it starts
    // at 0, never goes back, and ends at the range (1.0) or one step beyond
    // it (2.0).
    const auto progress = bench.sink.Of(WM_UPGRADE_PROGRESS);
    // Per image: the starting position, one per step, the closing query's.
    ASSERT_EQ(progress.size(), (1u + 2134 + 1) + (1u + 490 + 1));
    EXPECT_EQ(progress.front().lParam, 0);
    for (std::size_t i = 1; i < progress.size(); ++i) {
        ASSERT_GE(progress[i].lParam, progress[i - 1].lParam);
        ASSERT_LE(progress[i].lParam - progress[i - 1].lParam, 2) << i;
    }
    EXPECT_EQ(progress.back().lParam, v2 ? 2626 : 2624);
}

TEST_P(WholeRun, TotalAboveTheCapIsScaledIntoThirtyThousand) {
    const Package& pkg = DefaultPackage();
    Bench bench(pkg, SimFor(pkg, GetParam()));
    bench.context.progressTotal = 60000.0;
    ASSERT_EQ(bench.RunAll(), 2);
    const auto progress = bench.sink.Of(WM_UPGRADE_PROGRESS);
    const std::int32_t last = GetParam() == sim::Generation::V2_0 ? 2626 : 2624;
    EXPECT_EQ(progress.back().lParam, last / 2);
}

TEST_P(WholeRun, UpToDateImageIsSkippedButFinished) {
    const Package& pkg = DefaultPackage();
    for (const bool excludes : {false, true}) {
        sim::Config cfg = SimFor(pkg, GetParam());
        cfg.ics[0].fwVersion = 0x0140;  // equal to the package: not written
        cfg.ics[0].subVersion = 1;
        Bench bench(pkg, cfg);
        bench.context.totalExcludesUpToDate = excludes;
        ASSERT_TRUE(bench.AttachSlot());
        bench.RunImage(0);

        const bool v2 = GetParam() == sim::Generation::V2_0;
        const std::int32_t finishStep = v2 ? 1 : 0;
        EXPECT_EQ(bench.context.progressCounter, (excludes ? 0 : 2134) + finishStep);
        // Only the finish phase's position message, scaled from the counter.
        const auto progress = bench.sink.Of(WM_UPGRADE_PROGRESS);
        ASSERT_EQ(progress.size(), 1u);
        EXPECT_EQ(progress[0].lParam, bench.context.progressCounter);

        const Reports sent = WithoutQueries(bench.Sent());
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], Command(0xE6, 0x11));
        EXPECT_EQ(bench.context.upgradeResults.size(), 1u);
        EXPECT_EQ(bench.context.doneFlags[0], 1);
        EXPECT_EQ(bench.sink.Of(WM_UPGRADE_IMAGE_DONE).size(), 1u);
        EXPECT_EQ(bench.sink.Of(WM_UPGRADE_RESULT).size(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, WholeRun,
                         ::testing::Values(sim::Generation::V1_0, sim::Generation::V2_0),
                         [](const auto& info) {
                             return info.param == sim::Generation::V2_0 ? std::string("V2")
                                                                        : std::string("V1");
                         });

// Whether image 0 is written, by device version, package header and force.
bool WritesImage0(std::uint16_t deviceVersion, std::uint16_t deviceSub, bool force,
                  std::uint32_t headerHighBits = 0) {
    Package pkg = DefaultPackage();
    pkg.images[0][kHeaderFwVersionHigh] = static_cast<std::uint8_t>(headerHighBits);
    pkg.images[0][kHeaderFwVersionHigh + 1] = static_cast<std::uint8_t>(headerHighBits >> 8);
    sim::Config cfg = SimFor(pkg, sim::Generation::V2_0);
    cfg.ics[0].fwVersion = deviceVersion;
    cfg.ics[0].subVersion = deviceSub;
    Bench bench(pkg, cfg);
    bench.context.forceUpdate = force;
    EXPECT_TRUE(bench.AttachSlot());
    bench.RunImage(0);
    EXPECT_EQ(bench.sink.FirstFailure(), 0);
    for (const auto& r : bench.Sent()) {
        if (IsCommand(r, 0xE4)) return true;
    }
    return false;
}

TEST(DownloadDecision, WritesOnlyWhenTheDeviceIsOlderOrForced) {
    EXPECT_TRUE(WritesImage0(0x0140, 0, false));   // sub-version older
    EXPECT_FALSE(WritesImage0(0x0140, 1, false));  // equal
    EXPECT_FALSE(WritesImage0(0x0140, 2, false));  // sub-version newer
    EXPECT_FALSE(WritesImage0(0x0200, 0, false));  // newer
    EXPECT_TRUE(WritesImage0(0x0200, 0, true));    // newer, forced
    EXPECT_TRUE(WritesImage0(0x0140, 1, true));    // equal, forced
}

TEST(DownloadDecision, OnlyTheLowHalfOfTheHeaderVersionCounts) {
    // Header 0x0001'0140 compares as 0x0140: a device at 0x0150 is newer.
    EXPECT_FALSE(WritesImage0(0x0150, 0, false, 0x0001));
    EXPECT_TRUE(WritesImage0(0x0130, 0, false, 0x0001));
}

}  // namespace
}  // namespace fwu::test
