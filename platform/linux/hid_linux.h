// The hidraw device object, reachable for tests over any descriptor that
// behaves like a hidraw node for read(), write() and poll().
#pragma once

#include <memory>

#include "platform/hid.h"
#include "platform/linux/hid_descriptor.h"
#include "platform/linux/hid_usb.h"

namespace fwu {

// Takes ownership of `fd` (closed with the device). `usb` may be null (no
// control pipe: string descriptors fail).
std::unique_ptr<IHidDevice> MakeHidrawDevice(int fd, ReportDescriptorInfo descriptor,
                                             std::unique_ptr<UsbControl> usb);

}  // namespace fwu
