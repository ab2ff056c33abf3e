// codec/utf8.h: strict UTF-8 validation and decoding, matching the interpreter's "strict" decoder.
// * Accepts exactly the shortest-form encodings of U+0000..U+10FFFF minus the
//   surrogates U+D800..U+DFFF; everything else (overlong forms, surrogates,
//   stray continuation bytes, truncated sequences, F5..FF) is invalid.
// * O(n); ASCII runs are taken eight bytes at a time, and a sequence's bytes are
//   read without a bounds check while four or more bytes remain.
// Threads: pure functions.
#pragma once

#include <cstddef>
#include <string_view>

namespace tallowmere {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes valid UTF-8 into code points at `out` (room for bytes.size() of them)
// and returns their count, or returns -1 for bytes is_valid_utf8 rejects. With
// `all_bits`, it receives the bitwise OR of the code points, so a result below
// 0x100 says every one is in Latin-1.
std::ptrdiff_t decode_utf8(std::string_view bytes, char32_t* out, char32_t* all_bits = nullptr) noexcept;

}  // namespace tallowmere
