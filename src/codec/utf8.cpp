#include "codec/utf8.h"

#include <cstdint>
#include <cstring>

namespace tallowmere {
namespace {

// The sequence at `p`, whose lead byte is 0x80 or above: its length, with its code
// point in `code`, or 0 when it is invalid. Continuation bytes are 10xxxxxx, checked
// for all bytes of a sequence at once; the range checks on the code point then refuse
// overlong forms, surrogates and values past U+10FFFF. With kBounded only `left`
// bytes may be read; otherwise at least four may.
template <bool kBounded>
inline int read_sequence(const unsigned char* p, std::ptrdiff_t left, char32_t& code) noexcept {
  const unsigned lead = p[0];
  if (lead < 0xe0) {
    if (lead < 0xc2 || (kBounded && left < 2)) return 0;  // 0x80..0xc1: a continuation or overlong lead
    const unsigned c1 = p[1];
    if ((c1 & 0xc0) != 0x80) return 0;
    code = (lead << 6) + c1 - 0x3080;  // the lead's and continuation's marker bits taken out
    return 2;
  }
  if (lead < 0xf0) {
    if (kBounded && left < 3) return 0;
    const unsigned c1 = p[1], c2 = p[2];
    if (((c1 | c2 << 8) & 0xc0c0) != 0x8080) return 0;
    code = (lead << 12) + (c1 << 6) + c2 - 0xe2080;
    if (code < 0x800 || (code >> 11) == (0xd800 >> 11)) return 0;
    return 3;
  }
  if (lead > 0xf4 || (kBounded && left < 4)) return 0;
  const unsigned c1 = p[1], c2 = p[2], c3 = p[3];
  if (((c1 | c2 << 8 | c3 << 16) & 0xc0c0c0) != 0x808080) return 0;
  code = (lead << 18) + (c1 << 12) + (c2 << 6) + c3 - 0x3c82080;
  if (code - 0x10000 > 0xfffff) return 0;  // below U+10000 wraps around and fails too
  return 4;
}

// Walks `bytes`, checking every sequence; with kDecode, also stores each code point
// at `out` and returns how many (else 0), ORing them into `all_bits`. -1 when the
// bytes are not valid UTF-8.
template <bool kDecode>
std::ptrdiff_t walk_utf8(std::string_view bytes, char32_t* out, char32_t& all_bits) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  char32_t* const first = out;
  char32_t bits = 0;
  while (p != end) {
    const unsigned lead = *p;
    const std::ptrdiff_t left = end - p;
    if (lead < 0x80) {
      std::uint64_t chunk;
      if (left >= 8 && (std::memcpy(&chunk, p, 8), (chunk & 0x8080808080808080ULL) == 0)) {
        if constexpr (kDecode) {
          for (int i = 0; i < 8; ++i) out[i] = p[i];
          out += 8;
        }
        p += 8;
      } else {
        if constexpr (kDecode) *out++ = lead;
        ++p;
      }
      continue;
    }
    char32_t code = 0;
    const int length = left >= 4 ? read_sequence<false>(p, left, code) : read_sequence<true>(p, left, code);
    if (length == 0) return -1;
    p += length;
    if constexpr (kDecode) {
      *out++ = code;
      bits |= code;
    }
  }
  all_bits = bits;
  return kDecode ? out - first : 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  char32_t unused = 0;
  return walk_utf8<false>(bytes, nullptr, unused) == 0;
}

std::ptrdiff_t decode_utf8(std::string_view bytes, char32_t* out, char32_t* all_bits) noexcept {
  char32_t bits = 0;
  const std::ptrdiff_t count = walk_utf8<true>(bytes, out, bits);
  if (all_bits != nullptr) *all_bits = bits;
  return count;
}

}  // namespace tallowmere
