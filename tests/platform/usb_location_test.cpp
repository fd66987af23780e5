#include "platform/windows/usb_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fwu {
namespace {

TEST(UsbLocationPaths, OnlyAPathEndingInAUsbPortNamesADevice) {
    using K = UsbNodeKind;
    const struct Case {
        std::vector<std::string> paths;
        K kind;
        const char* path;
    } cases[] = {
        {{"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"},
         K::Device,
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"},
        // Behind a hub; the ACPI form listed first does not name the port.
        {{"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)",
          "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(14)"},
         K::Device,
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(14)"},
        {{"pciroot(0)#pci(1400)#usbroot(0)#usb(3)"},
         K::Device,
         "pciroot(0)#pci(1400)#usbroot(0)#usb(3)"},
        // A function of a composite device: its parent is the device.
        {{"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)"},
         K::Function,
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)"},
        // No port: the root hub, a bus that is not USB (Wine's), nothing at all.
        {{"PCIROOT(0)#PCI(1400)#USBROOT(0)"}, K::Other, ""},
        {{"PCIROOT(0)#PCI(1400)#USBMI(0)"}, K::Other, ""},
        {{"WINEBUS(0)"}, K::Other, ""},
        {{"PCIROOT(0)#PCI(1400)#USB(X)", "PCIROOT(0)#USB()", "USB(2)#PCI(1)"}, K::Other, ""},
        {{}, K::Other, ""},
    };
    for (const auto& c : cases) {
        const UsbNodeLocation found = ClassifyLocationPaths(c.paths);
        const std::string first = c.paths.empty() ? "(none)" : c.paths.front();
        EXPECT_EQ(found.kind, c.kind) << first;
        EXPECT_EQ(found.path, c.path) << first;
    }
}

}  // namespace
}  // namespace fwu
