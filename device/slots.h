// The two three-slot tables of controllers the tool knows: m_hNormal for
// controllers in normal mode, m_hUpdate for controllers in upgrade mode.
// Written only on the dialog's thread; the worker reads a copy of a slot at
// the start of a job. A mutex makes those reads race-free; a slot's device is
// shared, so a removal never closes a handle a job still uses.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "device/handle.h"

namespace fwu {

struct DeviceSlot {
    DeviceHandle hidDevice;  // null = slot free
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint8_t upgradeMode = 0;  // 1 in m_hUpdate, 0 in m_hNormal
    std::uint16_t updateId = 0;    // m_hUpdate only
    std::string devicePath;
};

class SlotTable {
  public:
    static constexpr int kSlots = 3;

    // A copy of slot i (a free slot when i is out of range).
    DeviceSlot Get(int i) const;

    // Duplicate test: any slot, free ones included, with this identity.
    // m_hNormal compares (vid, pid); m_hUpdate also updateId.
    bool HasIdentity(std::uint16_t vid, std::uint16_t pid) const;
    bool HasIdentity(std::uint16_t vid, std::uint16_t pid, std::uint16_t updateId) const;

    // Record a controller in the first free slot; the slot index, or nullopt
    // when all three are taken.
    std::optional<int> Take(const DeviceSlot& slot);

    // First taken slot whose devicePath equals `path` exactly.
    std::optional<int> FindByPath(const std::string& path) const;

    // Release slot i: mark its device gone, drop the slot's reference and
    // make the slot free.
    void Release(int i);

    bool AnyTaken() const;

    // Release every slot (tests; the product keeps the tables for its life).
    void Reset();

  private:
    mutable std::mutex mutex_;
    std::array<DeviceSlot, kSlots> slots_{};
};

extern SlotTable m_hNormal;
extern SlotTable m_hUpdate;

}  // namespace fwu
