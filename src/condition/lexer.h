// condition/lexer.h: tokens of the condition language and the lexer that makes them.
// * tokenize() first expands the UTF-8 text into code points; every position, and
//   the character named in a message, counts code points. It keeps no state
//   between calls and stops at the first failure with the message the caller shows.
// * A token owns its text. Its debug form (debug_form) is part of the parser's
//   messages, so it is stable: `Ident("user")`, `Int(-3)`, `Float(1.0)`, `RParen`.
// * Numbers are read with std::from_chars (correctly rounded, overflow to an
//   infinity) and floats printed with std::to_chars (shortest round trip).
// Cost: O(length of the text). Threads: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace tallowmere::condition {

enum class TokKind : std::uint8_t {
  Ident, Str, Int, Float, Bool, Null,
  And, Or, Not, In,
  Eq, Ne, Lt, Le, Gt, Ge,
  LParen, RParen, Dot,
};

struct Tok {
  TokKind kind = TokKind::Null;
  std::string text;          // Ident, Str (escapes resolved)
  std::int64_t integer = 0;  // Int
  double real = 0.0;         // Float
  bool boolean = false;      // Bool

  static Tok plain(TokKind kind) { return Tok{kind, {}, 0, 0.0, false}; }
  static Tok ident(std::string text) { return Tok{TokKind::Ident, std::move(text), 0, 0.0, false}; }
  static Tok str(std::string text) { return Tok{TokKind::Str, std::move(text), 0, 0.0, false}; }
  static Tok int_lit(std::int64_t v) { return Tok{TokKind::Int, {}, v, 0.0, false}; }
  static Tok float_lit(double v) { return Tok{TokKind::Float, {}, 0, v, false}; }
  static Tok bool_lit(bool v) { return Tok{TokKind::Bool, {}, 0, 0.0, v}; }

  friend bool operator==(const Tok& a, const Tok& b) noexcept;
};

// `Ident("a\"b")`, `Int(3)`, `Float(2.5)`, `Bool(true)`, `Null`, `Eq` ...
std::string debug_form(const Tok& tok);
// Shortest text that reads back as `v`, with ".0" on integral values; 1e16 and
// above or below 1e-4 in magnitude use exponent form ("1e16", "1.5e-7").
std::string format_float(double v);

Result<std::vector<Tok>> tokenize(std::string_view text);

struct LexedNumber {
  Tok tok;
  std::size_t end;  // index just past the number
};
// `chars[start]` is an ASCII digit, or '-' followed by one.
Result<LexedNumber> lex_number(std::u32string_view chars, std::size_t start);

}  // namespace tallowmere::condition
