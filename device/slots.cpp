#include "device/slots.h"

#include <utility>

namespace fwu {

SlotTable m_hNormal;
SlotTable m_hUpdate;

DeviceSlot SlotTable::Get(int i) const {
    if (i < 0 || i >= kSlots) return DeviceSlot{};
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_[i];
}

bool SlotTable::HasIdentity(std::uint16_t vid, std::uint16_t pid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DeviceSlot& s : slots_) {
        if (s.vid == vid && s.pid == pid) return true;
    }
    return false;
}

bool SlotTable::HasIdentity(std::uint16_t vid, std::uint16_t pid, std::uint16_t updateId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DeviceSlot& s : slots_) {
        if (s.vid == vid && s.pid == pid && s.updateId == updateId) return true;
    }
    return false;
}

std::optional<int> SlotTable::Take(const DeviceSlot& slot) {
    // A slot without a device would read as free; there is nothing to record.
    if (!slot.hidDevice) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < kSlots; ++i) {
        if (!slots_[i].hidDevice) {
            slots_[i] = slot;
            return i;
        }
    }
    return std::nullopt;
}

std::optional<int> SlotTable::FindByPath(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < kSlots; ++i) {
        if (slots_[i].hidDevice && slots_[i].devicePath == path) return i;
    }
    return std::nullopt;
}

void SlotTable::Release(int i) {
    if (i < 0 || i >= kSlots) return;
    DeviceHandle dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped = std::move(slots_[i].hidDevice);
        slots_[i] = DeviceSlot{};
    }
    // Every holder sees the removal at once; the platform handle itself closes
    // when the last holder (possibly a running job) lets go, outside the lock.
    if (dropped) dropped->MarkGone();
}

bool SlotTable::AnyTaken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DeviceSlot& s : slots_) {
        if (s.hidDevice) return true;
    }
    return false;
}

void SlotTable::Reset() {
    for (int i = 0; i < kSlots; ++i) Release(i);
}

}  // namespace fwu
