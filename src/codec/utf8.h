// codec/utf8.h: strict UTF-8 validation, matching the interpreter's "strict" decoder.
// * Accepts exactly the shortest-form encodings of U+0000..U+10FFFF minus the
//   surrogates U+D800..U+DFFF; everything else (overlong forms, surrogates,
//   stray continuation bytes, truncated sequences, F5..FF) is invalid.
// * O(n); ASCII runs are skipped eight bytes at a time.
// Threads: pure function.
#pragma once

#include <cstddef>
#include <string_view>

namespace tallowmere {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes valid UTF-8 into code points at `out` (room for bytes.size() of them)
// and returns their count, or returns -1 for bytes is_valid_utf8 rejects.
std::ptrdiff_t decode_utf8(std::string_view bytes, char32_t* out) noexcept;

}  // namespace tallowmere
