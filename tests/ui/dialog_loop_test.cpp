// The dialog loop: ordering, synchronous sends across threads, shut-down
// while a sender waits, and timers in virtual time.
#include <gtest/gtest.h>

#include <thread>

#include "ui/dialog_loop.h"

namespace fwu {
namespace {

TEST(DialogLoop, PostAndSendRunInOrderOnTheLoopThread) {
    DialogLoop loop;
    std::vector<int> order;
    const auto loopThread = std::this_thread::get_id();
    loop.Post([&] { order.push_back(1); });
    int sent = 0;
    std::thread other([&] {
        sent = loop.SendFor(
            [&] {
                EXPECT_EQ(std::this_thread::get_id(), loopThread);
                order.push_back(2);
                return 42;
            },
            -1);
        loop.Post([&] { loop.Quit(); });
    });
    loop.Run();
    other.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(sent, 42);
}

TEST(DialogLoop, SendReturnsEarlyWhenTheLoopStops) {
    DialogLoop loop;
    std::atomic<bool> ran{false};
    std::atomic<int> result{0};
    std::thread worker([&] { result = loop.SendFor([&] { return ran = true, 1; }, -1); });
    // Nobody runs the loop; its stop must release the sender, whether it is
    // already waiting or not yet queued.
    loop.Quit();
    worker.join();
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(loop.Send([] {}));

    // The sink forwards to the handler, or drops once stopped.
    DialogLoop live;
    LoopUpgradeSink sink(live, [](unsigned m, std::uintptr_t w, std::intptr_t l) {
        return static_cast<std::intptr_t>(m + w) + l;
    });
    EXPECT_EQ(sink.SendUpgradeMessage(10, 2, 3), 15);  // from the loop's own thread
    LoopUpgradeSink dead(loop, [](unsigned, std::uintptr_t, std::intptr_t) { return 9; });
    EXPECT_EQ(dead.SendUpgradeMessage(1, 0, 0), 0);
}

TEST(DialogLoop, VirtualTimersTickWithoutWaiting) {
    DialogLoop loop(DialogLoop::Clock::Virtual);
    int fast = 0, slow = 0;
    loop.SetTimer(1, 100, [&](unsigned) { ++fast; });
    loop.SetTimer(2, 250, [&](unsigned id) {
        if (++slow == 4) loop.KillTimer(id);
    });
    ASSERT_TRUE(loop.RunUntil([&] { return fast == 64; }));
    EXPECT_EQ(loop.NowMs(), 6400u);
    EXPECT_EQ(slow, 4);
    EXPECT_FALSE(loop.TimerActive(2));

    // Without timers, RunUntil gives up after its real-time bound.
    loop.KillTimer(1);
    EXPECT_FALSE(loop.RunUntil([] { return false; }, std::chrono::milliseconds(20)));
}

}  // namespace
}  // namespace fwu
