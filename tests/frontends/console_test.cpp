// The console front end run in-process on the simulated controller: what it
// prints and its exit status. Timers run in virtual time and pauses return at
// once. Failed and refused runs are the checked-in traces' (tests/trace).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "app/history.h"
#include "frontends/console/console_host.h"
#include "frontends/options.h"
#include "frontends/services.h"
#include "platform/platform.h"
#include "tests/support/files.h"
#include "tests/support/services.h"

namespace fwu::test {
namespace {

// The platform's own system service: the records are the ones embedded in
// this executable.
class ConsoleRun : public ::testing::Test {
  protected:
    // A simulated controller set up as the command line would, then changed
    // by `adjust`.
    void Controller(std::initializer_list<const char*> args,
                    const std::function<void(sim::Config&)>& adjust = {}) {
        std::vector<const char*> argv{"FirmwareUpgrade", "--simulate-fast"};
        argv.insert(argv.end(), args.begin(), args.end());
        const Options options = ParseOptions(static_cast<int>(argv.size()), argv.data());
        ASSERT_TRUE(options.error.empty());
        std::optional<PackageConfig> package;
        if (auto record = System().LoadRecord(kConfigRecordId))
            package = PackageConfig::Parse(*record);
        ASSERT_TRUE(package.has_value());
        auto sim = std::make_unique<sim::SimBackend>();
        for (unsigned unit = 0; unit < options.simCount; ++unit) {
            std::string error;
            sim::Config config = MakeSimConfig(options, &*package, error, unit);
            ASSERT_TRUE(error.empty());
            if (adjust) adjust(config);
            sim->AddController(config);
        }
        Install(std::move(sim));
    }
    // A new controller, with the slot tables and the log as at start-up.
    void Install(std::unique_ptr<sim::SimBackend> sim) {
        out_.str("");
        services_.reset();
        sim_ = std::move(sim);
        services_.emplace(Services{.hid = sim_.get(), .rumble = sim_.get()});
    }

    int Run(bool update, bool force = false, bool terminal = false) {
        ConsoleSettings settings;
        settings.update = update;
        settings.force = force;
        settings.waitSeconds = 5;
        settings.appName = "FirmwareUpgrade";
        settings.terminal = terminal;
        settings.virtualClock = true;
        return RunConsole(settings, sim_.get(), out_);
    }
    bool Printed(const std::string& text) const {
        return out_.str().find(text) != std::string::npos;
    }

    std::unique_ptr<ISystem> system_ = CreatePlatformSystem();
    FakeSleeper sleeper_;
    ScopedServices platform_{{system_.get(), &sleeper_}};
    std::unique_ptr<sim::SimBackend> sim_;
    std::optional<ScopedServices> services_;
    std::ostringstream out_;
};

TEST_F(ConsoleRun, WholeUpdatePrintsLabelsProgressAndResult) {
    Controller({});
    ASSERT_EQ(Run(true), kExitUpdated) << out_.str();
    EXPECT_TRUE(Printed("Package FW Version: V1.40.20\n"));
    EXPECT_TRUE(Printed("Device: M27504_Controller\n"));
    EXPECT_TRUE(Printed("Device FW Version: V1.30.10\n"));
    EXPECT_TRUE(Printed("Pressing Update.\n"));
    EXPECT_TRUE(Printed("[Update OK]\nUpdate and Verify OK!\nCheckSum:0x"));
    // The labels are printed once the window is set up, the package's first.
    EXPECT_EQ(out_.str().find("Product: M27504_Controller\nPackage FW Version: V1.40.20\n"), 0u);
    EXPECT_FALSE(Printed("Device FW Version: \n"));
    // Confirmed: the controller came back in normal mode with the package's
    // firmware (what each image holds afterwards is the engine's and the
    // dialog's to check, tests/upgrade and tests/ui).
    EXPECT_TRUE(
        Printed("Device FW Version: V1.40.20\nThe controller runs the package's "
                "firmware V1.40.20.\n"));
    // One line per whole percent, each once and in order.
    std::istringstream lines(out_.str());
    std::string line;
    int expected = 0;
    while (std::getline(lines, line)) {
        if (!line.starts_with("Progress: ")) continue;
        EXPECT_EQ(line, "Progress: " + std::to_string(expected) + "%");
        ++expected;
    }
    EXPECT_EQ(expected, 101);
}

// What ends the run for the controller, a host-to-device end-of-image
// command with 0x12, is always sent before the console exits.
bool EndsWithTheClosingCommand(const std::vector<sim::TraceEntry>& trace) {
    for (auto it = trace.rbegin(); it != trace.rend(); ++it) {
        const std::vector<std::uint8_t>& b = it->bytes;
        if (it->dir != sim::TraceDir::HostToDevice || it->kind != sim::TraceKind::Report ||
            b.size() < 6 || b[1] != 0xA5 || b[2] != 0xE6)
            continue;
        return b[5] == 0x12;
    }
    return false;
}

TEST_F(ConsoleRun, LastEndOfImageCommandIsSentInEveryRun) {
    for (int run = 0; run < 10; ++run) {
        Controller({});
        ASSERT_EQ(Run(true), kExitUpdated) << out_.str();
        EXPECT_TRUE(EndsWithTheClosingCommand(sim_->Controller(0).Trace())) << run;
        EXPECT_EQ(sim_->Controller(0).mode(), sim::Mode::Normal);
    }
}

TEST_F(ConsoleRun, UpdateOkIsConfirmedByTheReturningController) {
    // A bootloader that declares every image done after the first: the second
    // keeps its old firmware, which the returning controller shows.
    auto allDoneAfterFirst = [](sim::Config& c) { c.answerAllUpdateOk = true; };
    Controller({"--simulate=bootloader"}, allDoneAfterFirst);
    EXPECT_EQ(Run(true), kExitUnconfirmed) << out_.str();
    EXPECT_TRUE(Printed("[Update OK]\n"));
    EXPECT_TRUE(
        Printed("Device FW Version: V1.40.10\nThe controller came back with firmware "
                "V1.40.10, not the package's V1.40.20.\n"))
        << out_.str();

    // The same controller that never comes back after its restart.
    Controller({"--simulate=bootloader", "--simulate-fault=never-return"}, allDoneAfterFirst);
    EXPECT_EQ(Run(true), kExitUnconfirmed) << out_.str();
    EXPECT_TRUE(Printed("[Update OK]\n"));
    EXPECT_TRUE(
        Printed("The controller did not come back in normal mode within 5 s of the "
                "update.\n"))
        << out_.str();
    EXPECT_TRUE(EndsWithTheClosingCommand(sim_->Controller(0).Trace()));
}

TEST_F(ConsoleRun, ControllerThatLeavesBeforeThePressEndsTheWait) {
    // Unplugged while its arrival is handled: the press queued for it finds
    // the button disabled again, and the wait for another one is bounded.
    Controller({"--simulate=bootloader", "--simulate-fault=remove@4"});
    EXPECT_EQ(Run(true), kExitNoDevice) << out_.str();
    EXPECT_TRUE(
        Printed("No controller was ready for Update within 5 s: the one shown went "
                "away.\n"))
        << out_.str();
    EXPECT_TRUE(Printed("Device: M27504_Controller\n"));
    EXPECT_FALSE(Printed("Pressing Update"));
}

TEST_F(ConsoleRun, OneOfTwoIdenticalControllersIsUpdatedAndTheOtherLeftAlone) {
    Controller({"--simulate-count=2"});
    const std::vector<std::uint8_t> before = sim_->Controller(1).Flash(0);
    ASSERT_EQ(Run(true), kExitUpdated) << out_.str();
    EXPECT_GT(sim_->Controller(0).Reenumerations(), 0u);
    EXPECT_EQ(sim_->Controller(0).Version(0).fwVersion, 0x0140);
    EXPECT_EQ(sim_->Controller(1).Reenumerations(), 0u);
    EXPECT_EQ(sim_->Controller(1).Flash(0), before);
    EXPECT_EQ(sim_->Location(sim_->Controller(0).path()), "sim0");
    EXPECT_EQ(sim_->Location(sim_->Controller(1).path()), "sim1");
}

TEST_F(ConsoleRun, TerminalDrawsOneBarAndEndsItsLineBeforeTheBox) {
    Controller({"--simulate=bootloader", "--simulate-protocol=1.0"});
    ASSERT_EQ(Run(true, false, true), kExitUpdated) << out_.str();
    EXPECT_TRUE(Printed("\rProgress [" + std::string(40, '#') + "] 100%\n[Update OK]\n"));
    EXPECT_FALSE(Printed("Progress: "));
}

TEST_F(ConsoleRun, UpToDateControllerIsWrittenWhenForced) {
    Controller({"--simulate=current"});
    EXPECT_EQ(Run(true, true), kExitUpdated) << out_.str();
    EXPECT_TRUE(Printed("Pressing Update with Shift held.\n"));
}

TEST_F(ConsoleRun, WithoutUpdateOnlyShowsWhatItFinds) {
    Controller({});
    EXPECT_EQ(Run(false), kExitUpdated);
    EXPECT_TRUE(Printed("Device: M27504_Controller\n"));
    EXPECT_FALSE(Printed("Pressing Update"));
    EXPECT_EQ(sim_->Controller(0).Version(0), (sim::FlashVersion{0x0130, 0}));
}

// The simulated controllers, but the first one is held by another program:
// it cannot be opened, and the backend says why.
class FirstHeldElsewhere : public IHidBackend {
  public:
    explicit FirstHeldElsewhere(sim::SimBackend& sim) : sim_(sim) {}
    std::vector<std::string> EnumeratePaths() override { return sim_.EnumeratePaths(); }
    std::unique_ptr<IHidDevice> Open(const std::string& path) override {
        return Held(path) ? nullptr : sim_.Open(path);
    }
    bool LockedByOther(const std::string& path) override { return Held(path); }

  private:
    bool Held(const std::string& path) { return path == sim_.Controller(0).path(); }
    sim::SimBackend& sim_;
};

// A controller another program holds is left alone: alone, it ends the run
// at once as "no controller" (3); beside another one, that one is shown.
TEST_F(ConsoleRun, ControllerHeldByAnotherProgramIsLeftAlone) {
    for (const bool second : {false, true}) {
        sim::Config config;
        Controller({}, [&config](sim::Config& c) { config = c; });
        if (second) sim_->AddController(config);
        FirstHeldElsewhere held(*sim_);
        const ScopedServices holding({.hid = &held, .fresh = false});
        const int status = Run(second);
        EXPECT_TRUE(Printed("the controller is being updated by another program\n")) << out_.str();
        if (second) {
            EXPECT_EQ(status, kExitUpdated) << out_.str();
            EXPECT_TRUE(Printed("[Update OK]")) << out_.str();
        } else {
            EXPECT_EQ(status, kExitNoDevice) << out_.str();
            EXPECT_FALSE(Printed("No controller was found")) << out_.str();
            EXPECT_FALSE(Printed("Device: ")) << out_.str();
        }
        EXPECT_EQ(sim_->Controller(0).Version(0), (sim::FlashVersion{0x0130, 0}));
    }
}

// The update history: one record per press, ended as the console ends the
// run (the window's are tests/ui's).
TEST_F(ConsoleRun, EachPressIsRecordedInTheUpdateHistory) {
    ScratchDir dir("fwu_console_history_");
    RunHistory history(dir.Utf8("state"), {"9.9", "console", true, false});
    std::optional<ScopedUpdateHistory> installed(&history);
    Controller({});
    EXPECT_EQ(Run(true), kExitUpdated) << out_.str();
    Controller({"--simulate=bootloader"}, [](sim::Config& c) { c.answerAllUpdateOk = true; });
    EXPECT_EQ(Run(true), kExitUnconfirmed) << out_.str();
    Controller({"--simulate=current"});
    EXPECT_EQ(Run(true), kExitRefused) << out_.str();
    Controller({"--simulate=bootloader", "--simulate-fault=bad-checksum@3"});
    EXPECT_EQ(Run(true), kExitFailed) << out_.str();
    Controller({});
    EXPECT_EQ(Run(false), kExitUpdated);  // no press: nothing recorded
    installed.reset();

    struct Expected {
        int status;
        std::uint16_t pid;
        const char* before;
        const char* after;
        const char* returned;
    };
    const Expected expected[] = {
        {kExitUpdated, 0x1F40, "V1.30.10", "V1.40.20", "V1.40.20"},
        // The bootloader declared the run done after the first image.
        {kExitUnconfirmed, 0x0001, "V1.30", "V1.40", "V1.40.10"},
        {kExitRefused, 0x1F40, "V1.40.20", "", ""},
        {kExitFailed, 0x0001, "V1.30", "", ""},
    };
    std::string text;
    ASSERT_EQ(System().ReadFileLocked(history.Path(), text), "");
    const HistoryContents contents = ParseHistory(text);
    ASSERT_EQ(contents.entries.size(), std::size(expected)) << text;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(contents.entries[i].line);
        const HistoryRecord& r = contents.entries[i].record;
        EXPECT_EQ(r.status, expected[i].status);
        EXPECT_EQ(r.outcome, RunOutcomeName(expected[i].status));
        EXPECT_EQ(r.vid, 0x3A5C);
        EXPECT_EQ(r.pid, expected[i].pid);
        EXPECT_EQ(r.before, expected[i].before);
        EXPECT_EQ(r.after, expected[i].after);
        EXPECT_EQ(r.returnedVersion, expected[i].returned);
        EXPECT_EQ(r.location, "sim0");
        EXPECT_EQ(r.serial, "FWUSIM0000");
        EXPECT_EQ(r.product, "M27504_Controller");
        EXPECT_EQ(r.version, "9.9");
        EXPECT_EQ(r.frontEnd, "console");
        EXPECT_TRUE(r.simulated);
        EXPECT_FALSE(r.forced);
        EXPECT_GE(r.durationMs, 0);
        ASSERT_EQ(r.time.size(), 20u);
        EXPECT_EQ(r.time[10], 'T');
        EXPECT_EQ(r.time.back(), 'Z');
    }
}

}  // namespace
}  // namespace fwu::test
