// Whether the Qt window can open here: Qt ends the process (abort) when the
// display it is pointed at has no server, so the front end asks first.
#pragma once

#include <string>

namespace fwu {

// True when a window can be shown: a display server answers at DISPLAY or
// WAYLAND_DISPLAY, or QT_QPA_PLATFORM names a platform that needs none.
// Otherwise false, with `why` saying what was tried.
bool ProbeDisplay(std::string& why);

}  // namespace fwu
