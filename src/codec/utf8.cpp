#include "codec/utf8.h"

#include <cstdint>
#include <cstring>

namespace tallowmere {

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    // Lead byte: the sequence length and the allowed range of the second byte,
    // which is where overlong forms, surrogates and > U+10FFFF are excluded.
    std::ptrdiff_t length;
    unsigned char second_min = 0x80, second_max = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      if (lead == 0xe0) second_min = 0xa0;
      if (lead == 0xed) second_max = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      if (lead == 0xf0) second_min = 0x90;
      if (lead == 0xf4) second_max = 0x8f;
    } else {
      return false;
    }
    if (end - p < length) return false;
    if (p[1] < second_min || p[1] > second_max) return false;
    for (std::ptrdiff_t i = 2; i < length; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
    }
    p += length;
  }
  return true;
}

}  // namespace tallowmere
