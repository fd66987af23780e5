#include "device/handle.h"

namespace fwu {

DeviceHandle OpenDevice(const std::string& path) {
    std::unique_ptr<IHidDevice> io = HidBackend().Open(path);
    if (!io) return nullptr;
    return std::make_shared<HidHandle>(std::move(io), path);
}

}  // namespace fwu
