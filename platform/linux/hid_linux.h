// The hidraw device object, reachable for tests over any descriptor that
// behaves like a hidraw node for read(), write() and poll().
#pragma once

#include <memory>

#include "platform/hid.h"
#include "platform/hid_lock.h"
#include "platform/linux/hid_descriptor.h"
#include "platform/linux/hid_usb.h"

namespace fwu {

// Takes ownership of `fd` (closed with the device). `usb` may be null (no
// control pipe: string descriptors fail); `lock`, the node's lock, is let go
// with the device.
std::unique_ptr<IHidDevice> MakeHidrawDevice(int fd, ReportDescriptorInfo descriptor,
                                             std::unique_ptr<UsbControl> usb,
                                             std::unique_ptr<HidLock> lock = nullptr);

}  // namespace fwu
