#include <gtest/gtest.h>

#include "device/DeviceManager.h"
#include "fakes.h"
#include "sim_world.h"

namespace fwu::test {
namespace {

constexpr std::uint16_t kNormalVid = 0x1234;
constexpr std::uint16_t kNormalPid = 0x5678;

PackageConfig Config(std::initializer_list<std::uint32_t> ids) {
    PackageConfig c;
    c.imageCount = static_cast<std::uint32_t>(ids.size());
    int k = 0;
    for (std::uint32_t id : ids) c.updateId[k++] = id;
    return c;
}

// Scripted where a test needs controllers that cannot be opened, have no
// attributes, or report records the simulated controller does not hold.

// An upgrade-mode controller that answers 0xE1 with `updateId`.
std::shared_ptr<FakeHid> AddUpgrade(FakeWorld& w, const std::string& path, std::uint16_t updateId,
                                    std::uint16_t pid = kUpgradePid1) {
    auto hid = w.backend.Add(path, UPGRADE_VID, pid);
    hid->responder = [updateId](const Report&) { return InfoReply(updateId, 0x0100, 0, 0x0235); };
    return hid;
}

TEST(Discovery, UpgradeModeTakesTheFirstListedControllerInOrder) {
    FakeWorld w;
    w.backend.Add("keyboard", 0x046D, 0xC31C);
    AddUpgrade(w, "other-pid", 0x0020, kUpgradePid2);
    AddUpgrade(w, "unlisted", 0x0099);
    AddUpgrade(w, "locked", 0x0020)->openable = false;
    AddUpgrade(w, "no-attributes", 0x0020)->attributesOk = false;
    AddUpgrade(w, "first", 0x0020);
    AddUpgrade(w, "second", 0x0020);

    std::string path;
    DeviceHandle dev = FindHidDevice(UPGRADE_VID, kUpgradePid1, Config({0x10, 0x20}), path, 1);
    ASSERT_TRUE(dev);
    EXPECT_EQ(path, "first");
    EXPECT_EQ(dev->path(), "first");
    EXPECT_FALSE(dev->gone());
    EXPECT_EQ(w.backend.devices[2]->writes.size(), 1u);  // the unlisted one was asked
    EXPECT_EQ(w.backend.devices[6]->opens, 0);           // the search stopped
    EXPECT_EQ(w.backend.devices[0]->writes.size(), 0u);  // wrong identity never asked
}

TEST(Discovery, SilentUpgradeControllerMatchesOnlyIdentifierZero) {
    sim::Config cfg;
    cfg.startInBootloader = true;
    cfg.faults = {{sim::FaultKind::NoAnswer, 1}};
    SimWorld w(cfg);
    std::string path = "untouched";
    EXPECT_FALSE(FindHidDevice(UPGRADE_VID, kUpgradePid1, Config({0x20}), path, 1));
    EXPECT_EQ(path, "untouched");
    EXPECT_TRUE(FindHidDevice(UPGRADE_VID, kUpgradePid1, Config({0x20, 0}), path, 1));
    EXPECT_EQ(path, w.backend.Controller(0).path());
}

TEST(Discovery, NormalModeMatchesAnyRecordOrABlankOne) {
    FakeWorld w;
    auto other = w.backend.Add("other", kNormalVid, kNormalPid);
    other->strings[255] = InfoString({{0x0050, 0x0101, 0}, {0x0051, 0x0101, 0}});
    auto second = w.backend.Add("second-entry", kNormalVid, kNormalPid);
    second->strings[255] = InfoString({{0x0050, 0x0101, 0}, {0x0020, 0x0101, 0}});

    std::string path;
    EXPECT_TRUE(FindHidDevice(kNormalVid, kNormalPid, Config({0x10, 0x20}), path, 0));
    EXPECT_EQ(path, "second-entry");

    // A controller that reports neither identifier nor version fits.
    second->strings[255] = InfoString({{0, 0, 7}});
    path.clear();
    EXPECT_TRUE(FindHidDevice(kNormalVid, kNormalPid, Config({0x10}), path, 0));
    EXPECT_EQ(path, "second-entry");

    // ... but an identifier 0 with a version is an ordinary unlisted one.
    second->strings[255] = InfoString({{0, 0x0100, 0}});
    EXPECT_FALSE(FindHidDevice(kNormalVid, kNormalPid, Config({0x10}), path, 0));
}

TEST(Discovery, UnreadableNormalControllerCountsAsBlank) {
    sim::Config cfg;
    cfg.faults = {{sim::FaultKind::NoStrings, 0}};
    SimWorld w(cfg);
    std::string path;
    EXPECT_TRUE(FindHidDevice(cfg.normalId.vid, cfg.normalId.pid, Config({0x77}), path, 0));
    EXPECT_EQ(path, w.backend.Controller(0).path());
}

TEST(Discovery, NoConfiguredImageNeverAccepts) {
    FakeWorld w;
    w.backend.Add("blank", kNormalVid, kNormalPid);
    w.backend.Add("silent", UPGRADE_VID, kUpgradePid1);
    std::string path;
    EXPECT_FALSE(FindHidDevice(kNormalVid, kNormalPid, Config({}), path, 0));
    EXPECT_FALSE(FindHidDevice(UPGRADE_VID, kUpgradePid1, Config({}), path, 1));
}

TEST(Discovery, ImageCountAboveEightIsClamped) {
    FakeWorld w;
    AddUpgrade(w, "eighth", 0x0008);
    PackageConfig c = Config({1, 2, 3, 4, 5, 6, 7, 8});
    c.imageCount = 0xFFFFFFFF;
    std::string path;
    EXPECT_TRUE(FindHidDevice(UPGRADE_VID, kUpgradePid1, c, path, 1));

    auto normal = w.backend.Add("normal", kNormalVid, kNormalPid);
    std::vector<std::array<std::uint16_t, 3>> entries(15, {0x0099, 1, 1});
    entries[7] = {0x0008, 1, 1};
    normal->strings[255] = InfoString(entries);
    EXPECT_TRUE(FindHidDevice(kNormalVid, kNormalPid, c, path, 0));
}

}  // namespace
}  // namespace fwu::test
