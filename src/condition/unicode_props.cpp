#include "condition/unicode_props.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace tallowmere::condition {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "condition/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t c) noexcept {
  // First range whose end is not below c; c is in the table when that range starts at or before it.
  const auto* it = std::lower_bound(std::begin(table), std::end(table), c,
                                    [](const CodePointRange& r, char32_t v) { return r.last < v; });
  return it != std::end(table) && it->first <= c;
}

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

bool is_white_space(char32_t c) noexcept {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return in_table(kWhiteSpace, c);
}

bool is_alphabetic(char32_t c) noexcept {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return in_table(kAlphabetic, c);
}

bool is_numeric(char32_t c) noexcept {
  if (c < 0x80) return c >= '0' && c <= '9';
  return in_table(kNumeric, c);
}

std::u32string decode_utf8(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    const unsigned lead = *p;
    if (lead < 0x80) {
      out.push_back(lead);
      ++p;
      continue;
    }
    // Sequence length and the smallest code point it may encode (overlong forms are malformed).
    int length = 0;
    char32_t minimum = 0;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, minimum = 0x80, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, minimum = 0x800, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, minimum = 0x10000, cp = lead & 0x07;
    }
    bool well_formed = length != 0 && end - p >= length;
    for (int i = 1; well_formed && i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) well_formed = false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (well_formed && (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) well_formed = false;
    if (!well_formed) {
      out.push_back(kReplacement);
      ++p;
      continue;
    }
    out.push_back(cp);
    p += length;
  }
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace tallowmere::condition
