// Records embedded as resources of type "KVT_UPDATE_PKG" of the executable
// itself (records.rc, linked by fwu_embed_records()).
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace fwu {

std::optional<std::vector<std::uint8_t>> LoadEmbeddedRecord(int id) {
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"KVT_UPDATE_PKG");
    if (info == nullptr) return std::nullopt;
    HGLOBAL handle = LoadResource(nullptr, info);
    if (handle == nullptr) return std::nullopt;
    const DWORD size = SizeofResource(nullptr, info);
    const void* data = LockResource(handle);
    if (data == nullptr) return std::nullopt;
    std::vector<std::uint8_t> bytes(size);
    if (size > 0) std::memcpy(bytes.data(), data, size);
    return bytes;
}

}  // namespace fwu
