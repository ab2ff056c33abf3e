#include "codec/utf8.h"

#include <cstdint>
#include <cstring>

namespace tallowmere {
namespace {

// Walks `bytes`, checking every sequence; with `out`, also stores each code point
// and returns how many (else 0). -1 when the bytes are not valid UTF-8.
template <bool kDecode>
std::ptrdiff_t walk_utf8(std::string_view bytes, char32_t* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  char32_t* const first = out;
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        if constexpr (kDecode) {
          for (int i = 0; i < 8; ++i) *out++ = p[i];
        }
        p += 8;
        continue;
      }
    }
    unsigned char lead = *p;
    if (lead < 0x80) {
      if constexpr (kDecode) *out++ = lead;
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
      return -1;
    }
    if (end - p < length) return -1;
    if (p[1] < second_min || p[1] > second_max) return -1;
    for (std::ptrdiff_t i = 2; i < length; ++i) {
      if ((p[i] & 0xc0) != 0x80) return -1;
    }
    if constexpr (kDecode) {
      char32_t code = lead & (0x7f >> length);
      for (std::ptrdiff_t i = 1; i < length; ++i) code = (code << 6) | (p[i] & 0x3f);
      *out++ = code;
    }
    p += length;
  }
  return kDecode ? out - first : 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept { return walk_utf8<false>(bytes, nullptr) == 0; }

std::ptrdiff_t decode_utf8(std::string_view bytes, char32_t* out) noexcept { return walk_utf8<true>(bytes, out); }

}  // namespace tallowmere
