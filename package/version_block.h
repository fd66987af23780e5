// The version block that firmware images carry, so that a controller can
// report the version of what its flash holds. It sits in the plain
// (descrambled) firmware at device address baseAddress + finalPageOffset,
// inside the page that is written last, 16 bytes:
//   0  4  magic "FWVB"
//   4  2  update identifier (little-endian)
//   6  2  firmware version, major in the high byte (little-endian)
//   8  2  sub-version (little-endian)
//  10  6  zero
#pragma once

#include <cstddef>
#include <cstdint>

namespace fwu {

inline constexpr std::size_t kVersionBlockSize = 16;
inline constexpr std::uint8_t kVersionBlockMagic[4] = {'F', 'W', 'V', 'B'};

}  // namespace fwu
