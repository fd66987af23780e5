// Runs that each serve one port: two identical controllers, one dialog and
// worker per port, each programming only the controller plugged in there.
#include <gtest/gtest.h>

#include <memory>

#include "device/scope.h"
#include "platform/hotplug_hub.h"
#include "tests/ui/ui_harness.h"

namespace fwu::test {
namespace {

constexpr sim::FlashVersion kOld0{0x0130, 0};
constexpr sim::FlashVersion kNew0{0x0140, 1};
constexpr sim::FlashVersion kNew1{0x0120, 0};

// The harness's controllers and services, with one more dialog per port on
// the same loop; every dialog hears the hot-plug events through one hub.
class Bench {
  public:
    explicit Bench(std::vector<sim::Config> controllers)
        : h(std::move(controllers), {{"IsLogPrint", "true"}}) {}
    ~Bench() {
        h.loop.Quit();
        for (auto& port : ports) port->dlg.OnDestroy();
    }

    struct Port {
        explicit Port(DialogLoop& loop) : dlg(host, scope) {
            sink = std::make_unique<LoopUpgradeSink>(
                loop, [this](unsigned m, std::uintptr_t w, std::intptr_t l) {
                    return dlg.OnWorkerMessage(m, w, l);
                });
        }
        RunScope scope;
        RecordingHost host;
        CFirmwareUpgradeDlg dlg;
        std::unique_ptr<IHotplugSource> listener;
        std::unique_ptr<LoopUpgradeSink> sink;
    };

    Port& Serve(const std::string& location) {
        auto port = std::make_unique<Port>(h.loop);
        port->scope.location = location;
        port->scope.logTag = location;
        port->listener = hub.Listener();
        port->host.loop = &h.loop;
        port->host.dlg = &port->dlg;
        port->host.sim = &h.sim;
        port->host.hotplug = port->listener.get();
        port->host.timerOffset = 100 * static_cast<unsigned>(ports.size() + 1);
        port->dlg.SetWorkerSink(port->sink.get());
        port->dlg.OnInitDialog();
        ports.push_back(std::move(port));
        return *ports.back();
    }

    Harness h;
    HotplugHub hub{h.sim};
    std::vector<std::unique_ptr<Port>> ports;
};

TEST(ScopedRun, TwoIdenticalControllersEachUpdatedOnlyByTheRunAtItsPort) {
    Bench b({Controller(0x0130, 0, 0x0110, 0), Controller(0x0130, 0, 0x0110, 0)});
    Bench::Port& first = b.Serve("sim0");
    Bench::Port& second = b.Serve("sim1");
    EXPECT_EQ(first.host.texts[IDC_DEVICE_VERSION], "V1.30.10");
    EXPECT_EQ(second.host.texts[IDC_DEVICE_VERSION], "V1.30.10");

    // The first run ends before the second starts: the second controller
    // must be left alone by it, although it looks exactly the same.
    // Each run is over once its worker has told the controller so and the
    // controller is back in normal mode (Update enabled again).
    auto over = [](Bench::Port& p, std::size_t boxes) {
        return p.host.boxes.size() == boxes && p.dlg.WorkerIdle() && p.host.buttonEnabled;
    };
    first.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(b.h.loop.RunUntil([&] { return over(first, 1); }));
    EXPECT_EQ(first.host.boxes[0].caption, "Update OK");
    EXPECT_EQ(b.h.sim.Controller(0).Version(0), kNew0);
    EXPECT_EQ(b.h.sim.Controller(0).Version(1), kNew1);
    EXPECT_EQ(b.h.sim.Controller(1).Version(0), kOld0);
    EXPECT_EQ(b.h.sim.Controller(1).Reenumerations(), 0u);  // never restarted
    EXPECT_TRUE(second.host.boxes.empty());

    // Both at once, the first forced again.
    first.host.shift = true;
    first.dlg.OnBnClickedUpdateButton();
    second.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(b.h.loop.RunUntil([&] { return over(first, 2) && over(second, 1); }));
    EXPECT_EQ(first.host.boxes[1].caption, "Update OK");
    EXPECT_EQ(second.host.boxes[0].caption, "Update OK");
    EXPECT_EQ(b.h.sim.Controller(1).Version(0), kNew0);
    EXPECT_EQ(b.h.sim.Controller(1).Version(1), kNew1);
    EXPECT_TRUE(b.h.sim.Controller(0).ImageValid(0) && b.h.sim.Controller(1).ImageValid(1));

    // Each run's lines carry its port; none of the default's lines appear.
    const std::string log = b.h.LogText();
    EXPECT_NE(log.find("\n[sim0] FirmwareUpgradeDlg.cpp StartUpdateRun() Line:"),
              std::string::npos);
    EXPECT_NE(log.find("\n[sim1] DeviceManager.cpp"), std::string::npos);
}

TEST(ScopedRun, AControllerInUpgradeModeAtAnotherPortIsNeverTaken) {
    sim::Config waiting = Controller(0x0130, 0, 0x0110, 0);
    waiting.startInBootloader = true;
    Bench b({Controller(0x0130, 0, 0x0110, 0), waiting});
    Bench::Port& port = b.Serve("sim0");
    EXPECT_EQ(port.host.texts[IDC_DEVICE_VERSION], "V1.30.10");  // not "V1.30 "

    port.dlg.OnBnClickedUpdateButton();
    ASSERT_TRUE(b.h.loop.RunUntil([&] { return !port.host.boxes.empty(); }));
    EXPECT_EQ(port.host.boxes[0].caption, "Update OK");
    EXPECT_EQ(b.h.sim.Controller(0).Version(0), kNew0);
    EXPECT_EQ(b.h.sim.Controller(1).mode(), sim::Mode::Upgrade);
    EXPECT_EQ(b.h.sim.Controller(1).Version(0), kOld0);
    EXPECT_TRUE(b.h.sim.Controller(1).Trace().empty());  // never asked anything
}

}  // namespace
}  // namespace fwu::test
