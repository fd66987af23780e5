// Explicit little/big-endian access to byte buffers, with bounds checks.
// Records and device replies are always read through these helpers, never by
// casting bytes into structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace fwu {

using ByteView = std::span<const std::uint8_t>;

// Unchecked readers: the caller has already checked that the bytes exist.
inline std::uint16_t LoadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint16_t LoadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreBe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// Checked readers: nullopt when [offset, offset + width) is not inside the view.
inline bool InRange(ByteView v, std::size_t offset, std::size_t width) {
    return offset <= v.size() && width <= v.size() - offset;
}
inline std::optional<std::uint8_t> ReadU8(ByteView v, std::size_t offset) {
    if (!InRange(v, offset, 1)) return std::nullopt;
    return v[offset];
}
inline std::optional<std::uint16_t> ReadLe16(ByteView v, std::size_t offset) {
    if (!InRange(v, offset, 2)) return std::nullopt;
    return LoadLe16(v.data() + offset);
}
inline std::optional<std::uint32_t> ReadLe32(ByteView v, std::size_t offset) {
    if (!InRange(v, offset, 4)) return std::nullopt;
    return LoadLe32(v.data() + offset);
}
inline std::optional<std::uint16_t> ReadBe16(ByteView v, std::size_t offset) {
    if (!InRange(v, offset, 2)) return std::nullopt;
    return LoadBe16(v.data() + offset);
}

}  // namespace fwu
