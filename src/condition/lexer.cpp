#include "condition/lexer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

#include "condition/unicode_props.h"

namespace tallowmere::condition {
namespace {

bool is_ascii_digit(char32_t c) noexcept { return c >= '0' && c <= '9'; }

bool starts_identifier(char32_t c) noexcept { return c == '_' || is_alphabetic(c); }
bool continues_identifier(char32_t c) noexcept {
  return c == '_' || is_ascii_digit(c) || is_alphabetic(c) || is_numeric(c);
}

Tok keyword_or_ident(std::string text) {
  // Matched exactly, case included: "AND", "TRUE", "Null" stay identifiers.
  if (text == "and") return Tok::plain(TokKind::And);
  if (text == "or") return Tok::plain(TokKind::Or);
  if (text == "not") return Tok::plain(TokKind::Not);
  if (text == "in") return Tok::plain(TokKind::In);
  if (text == "true" || text == "True") return Tok::bool_lit(true);
  if (text == "false" || text == "False") return Tok::bool_lit(false);
  if (text == "null" || text == "none" || text == "None") return Tok::plain(TokKind::Null);
  return Tok::ident(std::move(text));
}

std::string unexpected_character(char32_t c) {
  std::string message = "unexpected character '";
  append_utf8(message, c);
  message += "'";
  return message;
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          // Other control characters would make a message unreadable or cut it short.
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

const char* kind_name(TokKind kind) noexcept {
  switch (kind) {
    case TokKind::Ident: return "Ident";
    case TokKind::Str: return "Str";
    case TokKind::Int: return "Int";
    case TokKind::Float: return "Float";
    case TokKind::Bool: return "Bool";
    case TokKind::Null: return "Null";
    case TokKind::And: return "And";
    case TokKind::Or: return "Or";
    case TokKind::Not: return "Not";
    case TokKind::In: return "In";
    case TokKind::Eq: return "Eq";
    case TokKind::Ne: return "Ne";
    case TokKind::Lt: return "Lt";
    case TokKind::Le: return "Le";
    case TokKind::Gt: return "Gt";
    case TokKind::Ge: return "Ge";
    case TokKind::LParen: return "LParen";
    case TokKind::RParen: return "RParen";
    case TokKind::Dot: return "Dot";
  }
  return "?";
}

// Reads a string literal whose opening quote is at `open`; returns the index after the closing quote.
Result<std::size_t> lex_string(std::u32string_view chars, std::size_t open, std::vector<Tok>& out) {
  const char32_t quote = chars[open];
  std::string text;
  std::size_t i = open + 1;
  while (true) {
    if (i >= chars.size()) return Result<std::size_t>::failure("unterminated string literal");
    const char32_t c = chars[i];
    if (c == quote) {
      out.push_back(Tok::str(std::move(text)));
      return i + 1;
    }
    if (c == '\\' && i + 1 < chars.size()) {
      const char32_t escaped = chars[i + 1];
      append_utf8(text, escaped == 'n' ? U'\n' : escaped == 't' ? U'\t' : escaped);
      i += 2;
      continue;
    }
    // A trailing backslash is ordinary text; the literal then runs out unterminated.
    append_utf8(text, c);
    ++i;
  }
}

}  // namespace

bool operator==(const Tok& a, const Tok& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case TokKind::Ident:
    case TokKind::Str: return a.text == b.text;
    case TokKind::Int: return a.integer == b.integer;
    case TokKind::Float:
      // Bitwise, so a test can tell -0.0 from 0.0.
      return std::signbit(a.real) == std::signbit(b.real) && (a.real == b.real || (a.real != a.real && b.real != b.real));
    case TokKind::Bool: return a.boolean == b.boolean;
    default: return true;
  }
}

std::string format_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  const double magnitude = std::fabs(v);
  if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    // Shortest digits in scientific form ("1.5e-07"), then the exponent without '+' or padding.
    const auto done = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(done.ptr - buf));
    const std::size_t e = sci.find('e');
    std::string out(sci.substr(0, e));
    out += 'e';
    std::string_view exponent = sci.substr(e + 1);
    if (exponent.front() == '-') {
      out += '-';
      exponent.remove_prefix(1);
    } else if (exponent.front() == '+') {
      exponent.remove_prefix(1);
    }
    while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
    out += exponent;
    return out;
  }
  const auto done = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  std::string out(buf, done.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string debug_form(const Tok& tok) {
  std::string out = kind_name(tok.kind);
  switch (tok.kind) {
    case TokKind::Ident:
    case TokKind::Str:
      out += '(';
      append_quoted(out, tok.text);
      out += ')';
      break;
    // Appended piecewise: GCC 12 misreports `"(" + std::string` under -Wrestrict.
    case TokKind::Int:
      out += '(';
      out += std::to_string(tok.integer);
      out += ')';
      break;
    case TokKind::Float:
      out += '(';
      out += format_float(tok.real);
      out += ')';
      break;
    case TokKind::Bool: out += tok.boolean ? "(true)" : "(false)"; break;
    default: break;
  }
  return out;
}

Result<LexedNumber> lex_number(std::u32string_view chars, std::size_t start) {
  std::size_t i = start;
  if (i < chars.size() && chars[i] == '-') ++i;
  bool fractional = false;
  while (i < chars.size()) {
    if (is_ascii_digit(chars[i])) {
      ++i;
    } else if (chars[i] == '.' && i + 1 < chars.size() && is_ascii_digit(chars[i + 1])) {
      fractional = true;
      ++i;
    } else {
      break;
    }
  }
  // Only '-', '.' and ASCII digits were taken, so the text is ASCII.
  std::string text;
  text.reserve(i - start);
  std::size_t dots = 0;
  for (std::size_t k = start; k < i; ++k) {
    text.push_back(static_cast<char>(chars[k]));
    dots += chars[k] == '.';
  }
  const char* first = text.data();
  const char* last = text.data() + text.size();
  auto invalid = [&] { return Result<LexedNumber>::failure("invalid number '" + text + "'"); };

  if (fractional) {
    if (dots != 1) return invalid();
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
      // No exponent notation: a magnitude beyond the range has a non-zero integer part,
      // anything else that is out of range is below the smallest subnormal.
      const bool negative = text.front() == '-';
      const std::string_view whole = std::string_view(text).substr(negative, text.find('.') - negative);
      const bool huge = whole.find_first_not_of('0') != std::string_view::npos;
      const double magnitude = huge ? std::numeric_limits<double>::infinity() : 0.0;
      value = negative ? -magnitude : magnitude;
    } else if (ec != std::errc() || ptr != last) {
      return invalid();
    }
    return LexedNumber{Tok::float_lit(value), i};
  }
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last) return invalid();
  return LexedNumber{Tok::int_lit(value), i};
}

Result<std::vector<Tok>> tokenize(std::string_view text) {
  using Failure = Result<std::vector<Tok>>;
  const std::u32string chars = decode_utf8(text);
  const std::size_t n = chars.size();
  std::vector<Tok> out;
  std::size_t i = 0;
  auto next_is = [&](char32_t c) { return i + 1 < n && chars[i + 1] == c; };
  while (i < n) {
    const char32_t c = chars[i];
    if (is_white_space(c)) {
      ++i;
    } else if (c == '!') {
      if (!next_is('=')) return Failure::failure("expected '!=' (use 'not' for negation)");
      out.push_back(Tok::plain(TokKind::Ne));
      i += 2;
    } else if (c == '"' || c == '\'') {
      auto end = lex_string(chars, i, out);
      if (!end) return Failure::failure(std::move(end).error());
      i = end.value();
    } else if (c == '(' || c == ')' || c == '.') {
      out.push_back(Tok::plain(c == '(' ? TokKind::LParen : c == ')' ? TokKind::RParen : TokKind::Dot));
      ++i;
    } else if (c == '<' || c == '>') {
      const bool or_equal = next_is('=');
      out.push_back(Tok::plain(c == '<' ? (or_equal ? TokKind::Le : TokKind::Lt)
                                        : (or_equal ? TokKind::Ge : TokKind::Gt)));
      i += or_equal ? 2 : 1;
    } else if (c == '=') {
      if (!next_is('=')) return Failure::failure("expected '==' (single '=' is not valid)");
      out.push_back(Tok::plain(TokKind::Eq));
      i += 2;
    } else if (is_ascii_digit(c) || (c == '-' && i + 1 < n && is_ascii_digit(chars[i + 1]))) {
      auto number = lex_number(chars, i);
      if (!number) return Failure::failure(std::move(number).error());
      out.push_back(std::move(number.value().tok));
      i = number.value().end;
    } else if (starts_identifier(c)) {
      std::string word;
      while (i < n && continues_identifier(chars[i])) append_utf8(word, chars[i++]);
      out.push_back(keyword_or_ident(std::move(word)));
    } else {
      // Includes a '-' that does not start a number.
      return Failure::failure(unexpected_character(c));
    }
  }
  return out;
}

}  // namespace tallowmere::condition
