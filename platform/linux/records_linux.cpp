// Records embedded at build time: fwu_embed_records() links a generated
// source that defines fwu_embedded_record(). An executable built without it
// has no records (the weak reference stays null).
#include <algorithm>
#include <cstddef>

#include "platform/platform.h"

extern "C" const unsigned char* fwu_embedded_record(int id, std::size_t* stored, std::size_t* size)
    __attribute__((weak));

namespace fwu {

std::optional<std::vector<std::uint8_t>> LoadEmbeddedRecord(int id) {
    if (fwu_embedded_record == nullptr) return std::nullopt;
    std::size_t stored = 0, size = 0;
    const unsigned char* data = fwu_embedded_record(id, &stored, &size);
    if (data == nullptr) return std::nullopt;
    // Trailing zero bytes are not stored; the record comes back whole.
    std::vector<std::uint8_t> bytes(size, 0);
    std::copy_n(data, std::min(stored, size), bytes.begin());
    return bytes;
}

}  // namespace fwu
