#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "device/DeviceManager.h"
#include "device/slots.h"
#include "sim_world.h"

namespace fwu::test {
namespace {

// A handle on a new simulated controller.
DeviceSlot Slot(SimWorld& w, std::uint16_t vid, std::uint16_t pid, std::uint16_t updateId = 0) {
    const std::string path = w.backend.AddController(sim::Config{}).path();
    return {OpenDevice(path), vid, pid, static_cast<std::uint8_t>(updateId ? 1 : 0),
            updateId,         path};
}

TEST(Slots, TakesLowestFreeSlotAndRefusesAFourth) {
    SimWorld w;
    SlotTable t;
    EXPECT_FALSE(t.AnyTaken());
    EXPECT_EQ(t.Take(Slot(w, 1, 1)), 0);
    EXPECT_EQ(t.Take(Slot(w, 1, 2)), 1);
    EXPECT_EQ(t.Take(Slot(w, 1, 3)), 2);
    EXPECT_EQ(t.Take(Slot(w, 1, 4)), std::nullopt);
    EXPECT_TRUE(t.AnyTaken());

    t.Release(1);
    const DeviceSlot fifth = Slot(w, 1, 5);
    EXPECT_EQ(t.Take(fifth), 1);
    EXPECT_EQ(t.Get(1).devicePath, fifth.devicePath);
    EXPECT_FALSE(t.Get(3).hidDevice);
    EXPECT_FALSE(t.Get(-1).hidDevice);
    EXPECT_EQ(t.Take(DeviceSlot{}), std::nullopt);  // nothing to record
}

TEST(Slots, IdentityIncludesFreeSlots) {
    SimWorld w;
    SlotTable t;
    EXPECT_TRUE(t.HasIdentity(0, 0));  // free slots are all zero
    EXPECT_TRUE(t.HasIdentity(0, 0, 0));
    ASSERT_TRUE(t.Take(Slot(w, 0x3A5C, 1, 0x10)));
    EXPECT_TRUE(t.HasIdentity(0x3A5C, 1));
    EXPECT_TRUE(t.HasIdentity(0x3A5C, 1, 0x10));
    EXPECT_FALSE(t.HasIdentity(0x3A5C, 1, 0x11));  // same vid/pid, other image
    ASSERT_TRUE(t.Take(Slot(w, 0x3A5C, 1, 0x11)));
    ASSERT_TRUE(t.Take(Slot(w, 0x3A5C, 1, 0x12)));
    EXPECT_FALSE(t.HasIdentity(0, 0));  // no free slot left
}

TEST(Slots, FindByPathIsExactAndSkipsFreeSlots) {
    SimWorld w;
    SlotTable t;
    EXPECT_EQ(t.FindByPath(""), std::nullopt);
    const DeviceSlot slot = Slot(w, 0x3A5C, 1);
    ASSERT_TRUE(t.Take(slot));
    EXPECT_EQ(t.FindByPath(slot.devicePath), 0);
    std::string upper = slot.devicePath;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    EXPECT_EQ(t.FindByPath(upper), std::nullopt);
}

TEST(Slots, ReleaseMarksGoneAndClosesWhenTheLastHolderLetsGo) {
    SimWorld w;
    SlotTable t;
    ASSERT_TRUE(t.Take(Slot(w, 1, 1)));
    DeviceHandle job = t.Get(0).hidDevice;
    std::weak_ptr<HidHandle> watch = job;

    t.Release(0);
    const DeviceSlot freed = t.Get(0);
    EXPECT_FALSE(freed.hidDevice);
    EXPECT_EQ(freed.vid, 0);
    EXPECT_TRUE(freed.devicePath.empty());
    EXPECT_TRUE(job->gone());
    EXPECT_FALSE(watch.expired());  // the job still holds it
    job.reset();
    EXPECT_TRUE(watch.expired());

    ASSERT_TRUE(t.Take(Slot(w, 1, 1)));
    std::weak_ptr<HidHandle> second = t.Get(0).hidDevice;
    t.Reset();
    EXPECT_TRUE(second.expired());
    EXPECT_FALSE(t.AnyTaken());
}

}  // namespace
}  // namespace fwu::test
