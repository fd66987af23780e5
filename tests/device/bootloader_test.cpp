#include <gtest/gtest.h>

#include <algorithm>

#include "device/DeviceManager.h"
#include "fakes.h"
#include "sim_world.h"

namespace fwu::test {
namespace {

Events StringRequestEvents(int index, int reads) {
    Events e;
    for (int len = 14; len < 14 + reads; ++len) {
        e.push_back("string " + std::to_string(index) + " " + std::to_string(len));
        e.push_back("pause 2");
    }
    return e;
}

Events Concat(std::initializer_list<Events> parts) {
    Events all;
    for (const Events& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// EnterBootLoader on a simulated controller in normal mode that honours the
// given forms only: its outcome, the mode the controller is left in, and the
// requests and pauses as the scripted fixture below names them.
struct SimEntry {
    bool entered = false;
    sim::Mode mode = sim::Mode::Absent;
    Events events;
};

SimEntry EnterOnSim(const sim::EntryForms& forms) {
    sim::Config cfg;
    cfg.entryForms = forms;
    SimWorld w(cfg);
    sim::SimController ctl = w.backend.Controller(0);
    std::vector<std::pair<std::size_t, std::string>> pauses;  // by requests seen then
    w.sleeper.onSleep = [&](std::uint32_t ms) {
        pauses.emplace_back(ctl.Trace().size(), "pause " + std::to_string(ms));
    };
    SimEntry run;
    run.entered = EnterBootLoader({OpenDevice(ctl.path()), 0x3A5C, 0x1F40, 0, 0, ctl.path()});
    run.mode = ctl.mode();
    const std::vector<sim::TraceEntry> trace = ctl.Trace();
    auto next = pauses.begin();
    for (std::size_t i = 0; i <= trace.size(); ++i) {
        for (; next != pauses.end() && next->first == i; ++next) run.events.push_back(next->second);
        if (i == trace.size()) break;
        const std::vector<std::uint8_t>& b = trace[i].bytes;
        run.events.push_back(trace[i].kind == sim::TraceKind::StringRequest
                                 ? "string " + std::to_string(b[0]) + " " + std::to_string(b[1])
                                 : "setout " + std::to_string(b.size()));
    }
    return run;
}

TEST(BootLoaderSim, String254AloneIsEnough) {
    const SimEntry run = EnterOnSim({true, false, false, false});
    EXPECT_TRUE(run.entered);
    EXPECT_EQ(run.mode, sim::Mode::Upgrade);
    EXPECT_EQ(run.events, StringRequestEvents(254, 5));
}

TEST(BootLoaderSim, NoFormHonouredMeansFailure) {
    const SimEntry run = EnterOnSim({false, false, false, false});
    EXPECT_FALSE(run.entered);
    EXPECT_EQ(run.mode, sim::Mode::Normal);
}

// Scripted: a string read that fails at a chosen call, switch reports refused
// after a count, and every vibration step, which the simulated controller
// neither produces nor shows.
class BootLoader : public ::testing::Test {
  protected:
    BootLoader() {
        DeviceHandle dev = world.Open(hid, 0x1234, 0x5678);
        slot = {dev, 0x1234, 0x5678, 0, 0, hid->path};
        world.events.clear();
    }

    FakeWorld world;
    std::shared_ptr<FakeHid> hid;
    DeviceSlot slot;
};

TEST_F(BootLoader, AFailedStringReadMovesOnTo255FromTheStart) {
    hid->strings[254] = {1};
    hid->strings[255] = {1};
    hid->stringCallsOk = 2;  // the third read fails, so does everything after it
    hid->setOutputOk = 5;
    EXPECT_TRUE(EnterBootLoader(slot));
    const Events expected = Concat({StringRequestEvents(254, 3),
                                    StringRequestEvents(255, 1),
                                    {"setout 64", "pause 2", "setout 64", "pause 2", "setout 64",
                                     "pause 2", "setout 64", "pause 2", "setout 64", "pause 2"}});
    EXPECT_EQ(world.events, expected);
}

TEST_F(BootLoader, SwitchReportLayoutAndCounter) {
    hid->outputReportId = 3;
    EXPECT_TRUE(EnterBootLoader(slot));
    ASSERT_EQ(hid->setOutputs.size(), 5u);
    for (std::uint8_t k = 0; k < 5; ++k) {
        std::vector<std::uint8_t> expected(64, 0);
        expected[0] = 3;
        expected[1] = 0xB0;
        expected[2] = 0x07;
        expected[3] = 0x4F;
        expected[4] = 0xF8;
        expected[5] = static_cast<std::uint8_t>(0x10 + k);
        EXPECT_EQ(hid->setOutputs[k], expected);
    }
    EXPECT_TRUE(world.rumble.calls.empty());
}

TEST_F(BootLoader, RefusedSwitchReportFallsBackToBothPatterns) {
    hid->setOutputOk = 2;
    world.rumble.connected = {false, true, true, false};
    EXPECT_TRUE(EnterBootLoader(slot));
    EXPECT_EQ(std::count(world.events.begin(), world.events.end(), "setout 64"), 3);

    const auto& c = world.rumble.calls;
    ASSERT_EQ(c.size(), 202u);                            // 100 steps and a stop, twice
    for (const auto& call : c) ASSERT_EQ(call.user, 1u);  // lowest connected index
    auto pair = [&](std::size_t i) { return std::make_pair(c[i].left, c[i].right); };
    using P = std::pair<std::uint16_t, std::uint16_t>;
    EXPECT_EQ(pair(0), P(256, 65024));
    EXPECT_EQ(pair(99), P(25600, 39680));
    EXPECT_EQ(pair(100), P(0, 0));
    EXPECT_EQ(pair(101), P(1300, 65280));
    EXPECT_EQ(pair(102), P(1950, 65024));
    EXPECT_EQ(pair(101 + 23), P(16256, pair(101 + 23).second));  // 65024 * 25 / 100
    EXPECT_EQ(pair(101 + 76).second, 16256);
    EXPECT_EQ(pair(199), P(65024, 1950));
    EXPECT_EQ(pair(200), P(65280, 1300));
    EXPECT_EQ(pair(201), P(0, 0));

    // A 10 ms pause after every accepted step and between the patterns.
    EXPECT_EQ(std::count(world.events.begin(), world.events.end(), "pause 10"), 201);
    const auto stopA = std::find(world.events.begin(), world.events.end(), "rumble") + 100;
    EXPECT_EQ(*(stopA + 1), "pause 10");
    EXPECT_EQ(*(stopA + 2), "rumble");
}

TEST_F(BootLoader, RefusedStepOfPatternBStopsItAndStillStopsTheMotors) {
    hid->setOutputOk = 0;
    world.rumble.connected[0] = true;
    world.rumble.acceptSteps = 101 + 40;  // pattern A and its stop, then B's steps 0..39
    EXPECT_FALSE(EnterBootLoader(slot));
    const auto& c = world.rumble.calls;
    ASSERT_EQ(c.size(), 101u + 41u + 1u);
    EXPECT_EQ(c.back().left, 0);
    EXPECT_EQ(c.back().right, 0);
}

// Where the platform tells which game controller belongs to the slot's device
// (Linux), that one rumbles, whatever else is connected; where it has none,
// no vibration is tried.
TEST_F(BootLoader, RumbleGoesOnlyToTheSlotsOwnGameController) {
    struct Case {
        int link;
        bool result;
        std::size_t calls;
    };
    for (const Case c : {Case{2, true, 202u}, Case{IRumble::kNone, false, 0u}}) {
        world.rumble.calls.clear();
        world.rumble.linkAskedFor.clear();
        world.rumble.connected = {true, true, true, true};
        world.rumble.link = c.link;
        hid->setOutputOk = 0;
        EXPECT_EQ(EnterBootLoader(slot), c.result) << c.link;
        EXPECT_EQ(world.rumble.linkAskedFor, (std::vector<std::string>{hid->path, hid->path}));
        EXPECT_EQ(world.rumble.connectedAsked, 0);
        ASSERT_EQ(world.rumble.calls.size(), c.calls) << c.link;
        for (const auto& call : world.rumble.calls) EXPECT_EQ(call.user, 2u);
    }
}

TEST_F(BootLoader, RemovedDeviceFailsEveryFormWithoutBeingAsked) {
    hid->strings[254] = {1};
    world.rumble.connected[0] = true;
    slot.hidDevice->MarkGone();
    EXPECT_FALSE(EnterBootLoader(slot));
    EXPECT_EQ(world.events, (Events{"pause 10"}));

    hid->attributesOk = false;  // unplugged but not yet noticed
    slot.hidDevice = OpenDevice(hid->path);
    hid->stringCallsOk = 0;
    hid->setOutputOk = 0;
    EXPECT_FALSE(EnterBootLoader(slot));
    EXPECT_TRUE(world.rumble.calls.empty());

    EXPECT_FALSE(EnterBootLoader(DeviceSlot{}));
}

}  // namespace
}  // namespace fwu::test
