// Command line of the executable and the simulated controller it asks for.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "frontends/options.h"
#include "frontends/services.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

Options Parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"FirmwareUpgrade"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, ConsoleRunOptions) {
    const Options o = Parse({"--console", "--update", "--force", "--wait", "3"});
    EXPECT_TRUE(o.error.empty());
    EXPECT_EQ(o.frontEnd, FrontEnd::Console);
    EXPECT_TRUE(o.update);
    EXPECT_TRUE(o.force);
    EXPECT_EQ(o.waitSeconds, 3);
    EXPECT_EQ(o.simulate, SimStart::Off);
    EXPECT_EQ(Parse({}).waitSeconds, 10);
    EXPECT_EQ(Parse({"--wait=0"}).waitSeconds, 0);
    // The station presses Update for every controller; --force needs no --update there.
    const Options station = Parse({"--station", "--force", "--count", "12"});
    EXPECT_TRUE(station.error.empty()) << station.error;
    EXPECT_TRUE(station.station && station.force);
    EXPECT_EQ(station.count, 12u);
    EXPECT_EQ(Parse({"--station"}).count, 0u);
}

TEST(Options, SimulatedControllerOptions) {
    EXPECT_EQ(Parse({"--simulate"}).simulate, SimStart::Normal);
    EXPECT_EQ(Parse({"--simulate=bootloader"}).simulate, SimStart::Bootloader);
    EXPECT_EQ(Parse({"--simulate=current"}).simulate, SimStart::Current);
    const Options o = Parse({"--simulate", "--simulate-protocol=1.0",
                             "--simulate-fault=write-fail@3", "--simulate-fault", "never-return"});
    EXPECT_TRUE(o.simProtocol1);
    EXPECT_EQ(o.faults, (std::vector<std::string>{"write-fail@3", "never-return"}));
    // A simulator setting alone means the simulated controller.
    EXPECT_EQ(Parse({"--simulate-fast"}).simulate, SimStart::Normal);
    EXPECT_EQ(Parse({}).simCount, 1u);
    const Options several = Parse(
        {"--simulate-count", "3", "--simulate-unit=2:bootloader", "--simulate-unit=0:remove@5"});
    EXPECT_TRUE(several.error.empty()) << several.error;
    EXPECT_EQ(several.simulate, SimStart::Normal);
    EXPECT_EQ(several.simCount, 3u);
    EXPECT_EQ(several.simUnits, (std::vector<SimUnitSetting>{{2, "bootloader"}, {0, "remove@5"}}));
}

TEST(Options, BadCommandLinesAreRefused) {
    for (auto args : {std::vector<const char*>{"--wait"},
                      {"--wait", "soon"},
                      {"--wait=-1"},
                      {"--wait=5x"},
                      {"--simulate=sideways"},
                      {"--simulate-protocol=3.0"},
                      {"--simulate-fault="},
                      {"--simulate-count=0"},
                      {"--simulate-count=9"},
                      {"--simulate-count=2x"},
                      {"--simulate-unit=1"},
                      {"--simulate-unit=x:bootloader"},
                      {"--simulate-unit=0:"},
                      {"--simulate-count=2", "--simulate-unit=2:bootloader"},
                      {"--bogus"},
                      {"--updatex"},
                      {"--console", "--force"},
                      {"--count=3"},
                      {"--station", "--count=0"},
                      {"--station", "--replay", "run.jsonl"}}) {
        std::vector<const char*> argv{"FirmwareUpgrade"};
        argv.insert(argv.end(), args.begin(), args.end());
        const Options o = ParseOptions(static_cast<int>(argv.size()), argv.data());
        EXPECT_FALSE(o.error.empty()) << args.back();
    }
    // --json still applies, so that the stream ends with the result.
    EXPECT_TRUE(Parse({"--bogus", "--json"}).json);
}

TEST(Options, UsageListsFaultsAndExitStatuses) {
    const std::string text = UsageText("FirmwareUpgrade", "  remove@N   unplugged\n");
    EXPECT_NE(text.find("remove@N"), std::string::npos);
    for (const char* option :
         {"--console", "--update", "--force", "--wait", "--simulate[=MODE]", "--simulate-protocol",
          "--simulate-fault", "--simulate-count", "--simulate-unit", "--package-info"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    for (const char* status :
         {"0  the controller came back", "1  the run ended with an error",
          "2  the update was refused", "3  no controller was ready", "4  \"Update OK\", but"})
        EXPECT_NE(text.find(status), std::string::npos) << status;
}

TEST(SimConfig, FollowsTheOptions) {
    std::string error;
    Options o =
        Parse({"--simulate=bootloader", "--simulate-protocol=1.0", "--simulate-fault=remove@7"});
    sim::Config c = MakeSimConfig(o, nullptr, error);
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(c.startInBootloader);
    EXPECT_EQ(c.generation, sim::Generation::V1_0);
    EXPECT_EQ(c.latencyUs, kSimLatencyUs);
    ASSERT_EQ(c.faults.size(), 1u);
    EXPECT_EQ(c.faults[0], (sim::Fault{sim::FaultKind::Remove, 7}));

    o = Parse({"--simulate-fast", "--simulate-fault=melt"});
    c = MakeSimConfig(o, nullptr, error);
    EXPECT_NE(error.find("melt"), std::string::npos);
    EXPECT_EQ(c.latencyUs, 0u);
}

TEST(SimConfig, EachControllerGetsTheCommonSettingsAndItsOwn) {
    const Options o = Parse({"--simulate-count=3", "--simulate-fault=no-strings",
                             "--simulate-unit=1:bootloader", "--simulate-unit=1:remove@9",
                             "--simulate-unit=1:protocol=1.0", "--simulate-unit=2:melt"});
    std::string error;
    const sim::Config first = MakeSimConfig(o, nullptr, error, 0);
    EXPECT_FALSE(first.startInBootloader);
    EXPECT_EQ(first.generation, sim::Generation::V2_0);
    EXPECT_EQ(first.faults, (std::vector<sim::Fault>{{sim::FaultKind::NoStrings, 0}}));
    const sim::Config second = MakeSimConfig(o, nullptr, error, 1);
    EXPECT_TRUE(second.startInBootloader);
    EXPECT_EQ(second.generation, sim::Generation::V1_0);
    EXPECT_EQ(second.faults, (std::vector<sim::Fault>{{sim::FaultKind::NoStrings, 0},
                                                      {sim::FaultKind::Remove, 9}}));
    EXPECT_TRUE(error.empty());
    MakeSimConfig(o, nullptr, error, 2);
    EXPECT_NE(error.find("melt"), std::string::npos);
}

TEST(SimConfig, CurrentFirmwareMatchesThePackage) {
    PackageConfig package;
    package.imageCount = 2;
    package.updateId = {0x20D, 0x313};
    package.version = {(0x0120u << 16) | 0, (0x0140u << 16) | 1};
    std::string error;
    const sim::Config c = MakeSimConfig(Parse({"--simulate=current"}), &package, error);
    ASSERT_EQ(c.ics.size(), 2u);
    for (const sim::IcConfig& ic : c.ics) {
        const bool first = ic.updateId == 0x313;
        EXPECT_EQ(ic.fwVersion, first ? 0x0140 : 0x0120);
        EXPECT_EQ(ic.subVersion, first ? 1 : 0);
    }
    // Normal mode keeps the older firmware of the model.
    const sim::Config older = MakeSimConfig(Parse({"--simulate"}), &package, error);
    EXPECT_LT(older.ics[0].fwVersion, 0x0140);
}

TEST(ShortenedSleeper, DividesPausesAndSkipsShortOnes) {
    std::vector<std::uint32_t> calls;
    auto inner = std::make_unique<test::FakeSleeper>();
    inner->onSleep = [&](std::uint32_t ms) { calls.push_back(ms); };
    ShortenedSleeper sleeper(std::move(inner), 50);
    for (std::uint32_t ms : {3000u, 200u, 49u, 1u}) sleeper.Sleep(ms);
    EXPECT_EQ(calls, (std::vector<std::uint32_t>{60, 4}));
}

}  // namespace
}  // namespace fwu
