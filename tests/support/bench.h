// The upgrade engine on a bench, for tests and benchmarks: a simulated
// controller, a fake sleeper, a recording dialog sink and a small stand-in for
// the dialog that hands the images of a package to the worker one after the
// other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "device/slots.h"
#include "sim/sim.h"
#include "tests/support/package.h"
#include "tests/support/services.h"
#include "upgrade/WorkThread.h"
#include "upgrade/context.h"

namespace fwu::test {

struct Message {
    unsigned msg = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::vector<ImageResult> results;  // copy of the list of a success message
    std::size_t traceSize = 0;         // reports the controller had seen by then
};

class RecordingSink : public IUpgradeSink {
  public:
    std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                     std::intptr_t lParam) override;

    std::vector<Message> Messages() const;
    std::vector<Message> Of(unsigned msg) const;
    int Successes() const;
    // Failure code of the first failure message, or 0.
    std::int32_t FirstFailure() const;
    // Wait until a message `msg` has arrived (true) or the worker went idle.
    bool WaitFor(unsigned msg, std::size_t count);

    sim::SimController* controller = nullptr;  // for traceSize
    std::function<void(const Message&)> onMessage;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
};

// Sim configuration matching a package: one IC per image, flash sized to it.
sim::Config SimFor(const Package& package, sim::Generation generation);

class Bench {
  public:
    Bench(const Package& package, const sim::Config& simConfig);
    ~Bench();

    // Record the controller's current upgrade-mode interface in slot 0 with
    // the update identifier it reports; false when it is not in upgrade mode.
    bool AttachSlot();
    // Hand image k to the worker on this thread, as the dialog does.
    void RunImage(int k);
    // Every image in order, stopping at the first failure or when the
    // controller is gone; returns the number of images handed over.
    int RunAll();

    // Host-to-device reports of the trace, 65 bytes each.
    std::vector<std::vector<std::uint8_t>> Sent() const;

    const Package& package;
    FakeSleeper sleeper;
    sim::SimBackend backend;
    // The system and the log stay as the caller set them.
    ScopedServices services{{nullptr, &sleeper, &backend, nullptr, false}};
    sim::SimController controller;
    SlotTable slots;
    RecordingSink sink;
    UpgradeContext context;
    CWorkThread worker;
    std::vector<std::int32_t> counterAfterImage;
};

// Host-to-device reports of a clean RunAll of `package`: per page its data
// reports and commands (0xE2..0xE5 in 2.0; 0xE3..0xE5 in 1.0, which also
// announces the final page with its data first), and per image three device
// queries and the end-of-image command.
std::uint64_t ReportsOfRun(const Package& package, sim::Generation generation);

bool IsCommand(const std::vector<std::uint8_t>& r, std::uint8_t code);
std::uint32_t Le32(const std::vector<std::uint8_t>& r, std::size_t offset);

}  // namespace fwu::test
