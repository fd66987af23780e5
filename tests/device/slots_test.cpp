#include <gtest/gtest.h>

#include "device/slots.h"
#include "fakes.h"

namespace fwu::test {
namespace {

DeviceSlot Slot(FakeWorld& w, const std::string& path, std::uint16_t vid, std::uint16_t pid,
                std::uint16_t updateId = 0) {
    w.backend.Add(path, vid, pid);
    return {OpenDevice(path), vid, pid, static_cast<std::uint8_t>(updateId ? 1 : 0),
            updateId,         path};
}

TEST(Slots, TakesLowestFreeSlotAndRefusesAFourth) {
    FakeWorld w;
    SlotTable t;
    EXPECT_FALSE(t.AnyTaken());
    EXPECT_EQ(t.Take(Slot(w, "a", 1, 1)), 0);
    EXPECT_EQ(t.Take(Slot(w, "b", 1, 2)), 1);
    EXPECT_EQ(t.Take(Slot(w, "c", 1, 3)), 2);
    EXPECT_EQ(t.Take(Slot(w, "d", 1, 4)), std::nullopt);
    EXPECT_TRUE(t.AnyTaken());

    t.Release(1);
    EXPECT_EQ(t.Take(Slot(w, "e", 1, 5)), 1);
    EXPECT_EQ(t.Get(1).devicePath, "e");
    EXPECT_FALSE(t.Get(3).hidDevice);
    EXPECT_FALSE(t.Get(-1).hidDevice);
    EXPECT_EQ(t.Take(DeviceSlot{}), std::nullopt);  // nothing to record
}

TEST(Slots, IdentityIncludesFreeSlots) {
    FakeWorld w;
    SlotTable t;
    EXPECT_TRUE(t.HasIdentity(0, 0));  // free slots are all zero
    EXPECT_TRUE(t.HasIdentity(0, 0, 0));
    ASSERT_TRUE(t.Take(Slot(w, "a", 0x3A5C, 1, 0x10)));
    EXPECT_TRUE(t.HasIdentity(0x3A5C, 1));
    EXPECT_TRUE(t.HasIdentity(0x3A5C, 1, 0x10));
    EXPECT_FALSE(t.HasIdentity(0x3A5C, 1, 0x11));  // same vid/pid, other image
    ASSERT_TRUE(t.Take(Slot(w, "b", 0x3A5C, 1, 0x11)));
    ASSERT_TRUE(t.Take(Slot(w, "c", 0x3A5C, 1, 0x12)));
    EXPECT_FALSE(t.HasIdentity(0, 0));  // no free slot left
}

TEST(Slots, FindByPathIsExactAndSkipsFreeSlots) {
    FakeWorld w;
    SlotTable t;
    EXPECT_EQ(t.FindByPath(""), std::nullopt);
    ASSERT_TRUE(t.Take(Slot(w, "\\\\?\\hid#vid_3a5c&pid_0001", 0x3A5C, 1)));
    EXPECT_EQ(t.FindByPath("\\\\?\\hid#vid_3a5c&pid_0001"), 0);
    EXPECT_EQ(t.FindByPath("\\\\?\\HID#VID_3A5C&PID_0001"), std::nullopt);
}

TEST(Slots, ReleaseMarksGoneAndClosesWhenTheLastHolderLetsGo) {
    FakeWorld w;
    SlotTable t;
    ASSERT_TRUE(t.Take(Slot(w, "a", 1, 1)));
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

    ASSERT_TRUE(t.Take(Slot(w, "b", 1, 1)));
    std::weak_ptr<HidHandle> second = t.Get(0).hidDevice;
    t.Reset();
    EXPECT_TRUE(second.expired());
    EXPECT_FALSE(t.AnyTaken());
}

}  // namespace
}  // namespace fwu::test
