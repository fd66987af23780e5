// The worker thread: jobs posted to its queue, and shut-down in the middle of
// a download (run under AddressSanitizer and ThreadSanitizer as well).
#include <gtest/gtest.h>

#include "tests/support/bench.h"
#include "upgrade/WorkThread.h"
#include "upgrade/status.h"

namespace fwu::test {
namespace {

std::intptr_t Address(const Package& pkg, int k) {
    return reinterpret_cast<std::intptr_t>(pkg.images[k].data());
}

TEST(WorkThread, RunsPostedJobsInOrderOnItsOwnThread) {
    const Package& pkg = DefaultPackage();
    Bench bench(pkg, SimFor(pkg, sim::Generation::V2_0));
    std::thread::id jobThread;
    bench.sink.onMessage = [&](const Message&) { jobThread = std::this_thread::get_id(); };
    ASSERT_TRUE(bench.worker.Start());
    EXPECT_FALSE(bench.worker.Start());
    ASSERT_TRUE(bench.AttachSlot());
    // Two requests at once: the second waits for the first job to end; the
    // controller then presents image 1 under a new interface, so the second
    // job's query on the old one fails.
    ASSERT_TRUE(bench.worker.PostThreadMessage(WM_UPGRADE_START, 0x313, Address(pkg, 0)));
    ASSERT_TRUE(bench.worker.PostThreadMessage(WM_UPGRADE_START, 0x313, Address(pkg, 0)));
    ASSERT_TRUE(bench.sink.WaitFor(WM_UPGRADE_RESULT, 1));
    bench.worker.Shutdown();
    EXPECT_NE(jobThread, std::this_thread::get_id());
    const auto messages = bench.sink.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2].msg, WM_UPGRADE_IMAGE_DONE);
    EXPECT_EQ(messages.back().msg, WM_UPGRADE_RESULT);
    EXPECT_EQ(bench.sink.FirstFailure(), kStatusDeviceInfo);
    EXPECT_TRUE(bench.controller.ImageValid(0));
    EXPECT_FALSE(bench.worker.PostThreadMessage(WM_UPGRADE_START, 0x313, Address(pkg, 0)));
}

TEST(WorkThread, StopMidDownloadEndsAtTheNextTransferWithoutAWord) {
    const Package& pkg = DefaultPackage();
    for (const auto g : {sim::Generation::V1_0, sim::Generation::V2_0}) {
        Bench bench(pkg, SimFor(pkg, g));
        std::size_t messagesAtStop = 0, traceAtStop = 0;
        int seen = 0;
        bench.sink.onMessage = [&](const Message&) {
            if (++seen == 700) {  // somewhere in the page loop
                bench.worker.RequestStop();
                traceAtStop = bench.controller.Trace().size();
                messagesAtStop = static_cast<std::size_t>(seen);
            }
        };
        ASSERT_TRUE(bench.worker.Start());
        ASSERT_TRUE(bench.AttachSlot());
        ASSERT_TRUE(bench.worker.PostThreadMessage(WM_UPGRADE_START, 0x313, Address(pkg, 0)));
        ASSERT_TRUE(bench.sink.WaitFor(WM_UPGRADE_PROGRESS, 700));
        bench.worker.Shutdown();
        EXPECT_FALSE(bench.worker.Running());
        EXPECT_EQ(bench.sink.Messages().size(), messagesAtStop);
        EXPECT_EQ(bench.controller.Trace().size(), traceAtStop);
        EXPECT_FALSE(bench.controller.ImageValid(0));
    }
}

TEST(WorkThread, StopAfterTheReportedSuccessStillClosesTheRun) {
    // Shut-down requested while the dialog shows "Update OK" (a console that
    // exits there): the controller still hears the end of the run and
    // restarts; only the pause after it is cut short.
    const Package& pkg = DefaultPackage();
    for (const bool allUpdateOk : {false, true}) {
        sim::Config cfg = SimFor(pkg, sim::Generation::V2_0);
        cfg.answerAllUpdateOk = allUpdateOk;
        Bench bench(pkg, cfg);
        bench.sink.onMessage = [&](const Message& m) {
            if (m.msg == WM_UPGRADE_RESULT && m.wParam == 0) bench.worker.RequestStop();
        };
        ASSERT_TRUE(bench.worker.Start());
        const int images = allUpdateOk ? 1 : 2;
        for (int k = 0; k < images; ++k) {
            ASSERT_TRUE(bench.AttachSlot());
            bench.context.currentImage = k;
            ASSERT_TRUE(bench.worker.PostThreadMessage(
                WM_UPGRADE_START, bench.slots.Get(0).updateId, Address(pkg, k)));
            if (k + 1 < images) {
                ASSERT_TRUE(bench.sink.WaitFor(WM_UPGRADE_IMAGE_DONE, 1));
            }
        }
        ASSERT_TRUE(bench.sink.WaitFor(WM_UPGRADE_RESULT, 1));
        bench.worker.Shutdown();
        EXPECT_EQ(bench.sink.Successes(), 1);
        const auto sent = bench.Sent();
        ASSERT_FALSE(sent.empty());
        EXPECT_TRUE(IsCommand(sent.back(), 0xE6));
        EXPECT_EQ(sent.back()[5], 0x12);
        EXPECT_EQ(bench.controller.mode(), sim::Mode::Normal) << allUpdateOk;
        EXPECT_EQ(bench.sink.Of(WM_UPGRADE_IMAGE_DONE).size(),
                  static_cast<std::size_t>(images - 1));
    }
}

TEST(WorkThread, ShutdownCutsShortAReadTheControllerNeverAnswers) {
    const Package& pkg = DefaultPackage();
    Bench bench(pkg, SimFor(pkg, sim::Generation::V2_0));
    ASSERT_TRUE(bench.AttachSlot());
    bench.controller.AddFault({sim::FaultKind::NoAnswer, 1});
    // Each pause parks the worker until shut-down.
    std::atomic<bool> waiting{false};
    bench.sleeper.onSleep = [&waiting](std::uint32_t) {
        if (CancelRequested()) return;
        waiting = true;
        while (!CancelRequested()) std::this_thread::yield();
    };
    ASSERT_TRUE(bench.worker.Start());
    ASSERT_TRUE(bench.worker.PostThreadMessage(WM_UPGRADE_START, 0x313, Address(pkg, 0)));
    while (!waiting) std::this_thread::yield();
    bench.worker.Shutdown();
    EXPECT_FALSE(bench.worker.Running());
    EXPECT_EQ(bench.sink.Of(WM_UPGRADE_RESULT).size(), 0u);
}

}  // namespace
}  // namespace fwu::test
