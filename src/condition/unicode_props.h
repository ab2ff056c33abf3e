// condition/unicode_props.h: the Unicode facts the condition lexer needs.
// * Classification reads range tables generated from the Unicode Character Database
//   (scripts/gen_unicode_tables.py); ASCII is answered without a table search and
//   every other code point costs one binary search over a few hundred ranges.
// * UTF-8 decoding never fails: a malformed sequence decodes to U+FFFD, one
//   replacement per offending byte, so any byte string can be lexed. Text that
//   comes from Python str is always well formed.
// Threads: pure functions over constant tables.
#pragma once

#include <string>
#include <string_view>

namespace tallowmere::condition {

bool is_white_space(char32_t c) noexcept;  // the White_Space property
bool is_alphabetic(char32_t c) noexcept;   // the Alphabetic property
bool is_numeric(char32_t c) noexcept;      // general category Nd, Nl or No

std::u32string decode_utf8(std::string_view utf8);
void append_utf8(std::string& out, char32_t c);

}  // namespace tallowmere::condition
