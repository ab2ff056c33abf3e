// codec/short_bytes.h: equality of short byte strings (map keys) without a call into the C library.
// * Reads whole words where it can: an 8-byte loop with an overlapping last word
//   from 8 bytes on, two overlapping 4-byte words for 4 to 7, and first, middle
//   and last byte below that; every byte of a and b is compared, none read past n.
// Threads: pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tallowmere {

inline bool same_short_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8) {
    std::uint64_t x, y;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      if (x != y) return false;
    }
    std::memcpy(&x, a + n - 8, 8);
    std::memcpy(&y, b + n - 8, 8);
    return x == y;
  }
  if (n >= 4) {
    std::uint32_t x1, y1, x2, y2;
    std::memcpy(&x1, a, 4);
    std::memcpy(&y1, b, 4);
    std::memcpy(&x2, a + n - 4, 4);
    std::memcpy(&y2, b + n - 4, 4);
    return ((x1 ^ y1) | (x2 ^ y2)) == 0;
  }
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

}  // namespace tallowmere
