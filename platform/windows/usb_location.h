// Which location path of a Windows device node names a USB port. Pure code,
// tested on every build; the walk over the device tree that uses it is in
// hid_windows.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fwu {

enum class UsbNodeKind {
    Other,     // no USB port named: a root hub, a bus that is not USB (Wine's own)
    Device,    // a USB device: a path ending in a port segment "USB(n)"
    Function,  // one function of a composite USB device: "...#USB(n)#USBMI(k)"
};

struct UsbNodeLocation {
    UsbNodeKind kind = UsbNodeKind::Other;
    std::string path;  // the path that says so (Device, Function)
};

// Classifies a device node by its location paths, e.g.
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)" (letters in either case).
// A Device path wins over a Function path.
UsbNodeLocation ClassifyLocationPaths(const std::vector<std::string>& paths);

#ifdef _WIN32
// The location path of the USB device that device node `devInst` (a HID
// interface's node) belongs to, walking up through a composite device's
// function; "" when no ancestor names a USB port.
std::string UsbLocationOfDevNode(std::uint32_t devInst);
#endif

}  // namespace fwu
