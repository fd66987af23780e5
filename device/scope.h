// What one update run works on: its two tables of controllers, the port it
// serves, whether the rumble form of the bootloader entry may be used, and
// the tag of its log lines. A dialog and its worker are given one scope.
//
// The default scope is the one window's and the console's: the process-wide
// tables m_hNormal and m_hUpdate, every location, rumble allowed, no tag. A
// scope with a location accepts only the controllers plugged in there: after
// the switch to upgrade mode it waits for the controller at the same port and
// its worker programs only that one, even when identical controllers sit on
// the other ports.
#pragma once

#include <string>

#include "device/slots.h"

namespace fwu {

class RunScope {
  public:
    // Tables of its own.
    RunScope();
    // Tables shared with others (the process-wide ones of the default scope).
    RunScope(SlotTable& normal, SlotTable& update);
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

    SlotTable& normal() { return normal_; }
    SlotTable& update() { return update_; }
    const SlotTable& normal() const { return normal_; }
    const SlotTable& update() const { return update_; }

    // The port this scope serves (IHidBackend::Location); "" for every one.
    std::string location;
    // Whether the rumble form of the bootloader entry may be tried: the
    // platform may not tie a rumbling controller to the port.
    bool rumbleAllowed = true;
    // Tag of the run's log lines (LogTagScope); "" for none.
    std::string logTag;
    // Whether the run gives their driver back to the interfaces of the
    // controllers' identities that a program left without one, at every
    // port: not while other runs may have taken it off for a request of
    // theirs (a station gives them back once, before its runs).
    bool restoreDrivers = true;

    // Whether the interface `path` belongs to this scope: any path without
    // a location, else one plugged in at the location.
    bool Accepts(const std::string& path) const;

  private:
    SlotTable ownNormal_;
    SlotTable ownUpdate_;
    SlotTable& normal_;
    SlotTable& update_;
};

// The process-wide scope over m_hNormal and m_hUpdate.
RunScope& DefaultScope();

}  // namespace fwu
