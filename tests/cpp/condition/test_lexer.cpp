#include <doctest/doctest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "condition/lexer.h"
#include "condition/unicode_props.h"

using namespace tallowmere::condition;

namespace {

// The tokens as their debug forms joined by ", ", or "error: " and the message.
std::string lex(const std::string& text) {
  auto tokens = tokenize(text);
  if (!tokens) return "error: " + tokens.error();
  std::string out;
  for (const Tok& tok : tokens.value()) out += (out.empty() ? "" : ", ") + debug_form(tok);
  return out;
}

struct Case {
  const char* text;
  const char* expected;
};

}  // namespace

TEST_CASE("lexer: tokens and their debug forms, refusals and their messages") {
  const Case cases[] = {
      {"a==1", R"(Ident("a"), Eq, Int(1))"}, {"(x.y)", R"(LParen, Ident("x"), Dot, Ident("y"), RParen)"},
      {"a != b <= c < d >= e > f", R"(Ident("a"), Ne, Ident("b"), Le, Ident("c"), Lt, Ident("d"), Ge, Ident("e"), Gt, Ident("f"))"},
      {"and or not in", "And, Or, Not, In"}, {"true True false False", "Bool(true), Bool(true), Bool(false), Bool(false)"},
      {"null none None", "Null, Null, Null"},
      {"AND TRUE Null NONE NULL", R"(Ident("AND"), Ident("TRUE"), Ident("Null"), Ident("NONE"), Ident("NULL"))"},
      {"-5", "Int(-5)"}, {"-0.5", "Float(-0.5)"}, {"1.", "Int(1), Dot"}, {".5", "Dot, Int(5)"}, {"007", "Int(7)"},
      {"2.5 1.0 0.1", "Float(2.5), Float(1.0), Float(0.1)"}, {"-9223372036854775808", "Int(-9223372036854775808)"},
      {"9223372036854775807", "Int(9223372036854775807)"}, {"3abc", R"(Int(3), Ident("abc"))"},
      {"a-1", R"(Ident("a"), Int(-1))"}, {"_x1 x_2", R"(Ident("_x1"), Ident("x_2"))"},
      {"'it\\'s'", R"(Str("it's"))"}, {"\"it's\"", R"(Str("it's"))"}, {"\"a\\nb\\tc\\rd\"", R"(Str("a\nb\tcrd"))"},
      {"\"\\d\\\\\\\"\"", R"(Str("d\\\""))"}, {"'say \"hi\"'", R"(Str("say \"hi\""))"}, {"\"\"", R"(Str(""))"},
      {"\"tab\there\"", R"(Str("tab\there"))"}, {"\"\x01\x1f\x7f\"", R"(Str("\u{1}\u{1f}\u{7f}"))"},
      {"état == 1", R"(Ident("état"), Eq, Int(1))"}, {"x²", R"(Ident("x²"))"},
      {"日本 == 'ok'", R"(Ident("日本"), Eq, Str("ok"))"},
      {"a\u3000b\u00a0c\u2028d", R"(Ident("a"), Ident("b"), Ident("c"), Ident("d"))"},
      {"", ""}, {" \t\n\r\v\f\u00a0", ""},
      // Refusals.
      {"x = 1", "error: expected '==' (single '=' is not valid)"}, {"x =", "error: expected '==' (single '=' is not valid)"},
      {"ok 'x' = 1", "error: expected '==' (single '=' is not valid)"},
      {"!x", "error: expected '!=' (use 'not' for negation)"}, {"x !", "error: expected '!=' (use 'not' for negation)"},
      {"a && b", "error: unexpected character '&'"}, {"a[0]", "error: unexpected character '['"},
      {"- 1", "error: unexpected character '-'"}, {"-", "error: unexpected character '-'"},
      {"-.5", "error: unexpected character '-'"}, {"x €", "error: unexpected character '€'"},
      {"²", "error: unexpected character '²'"}, {"\xff", "error: unexpected character '\xef\xbf\xbd'"},
      {"1.2.3", "error: invalid number '1.2.3'"}, {"-1.2.3", "error: invalid number '-1.2.3'"},
      {"9223372036854775808", "error: invalid number '9223372036854775808'"},
      {"-9223372036854775809", "error: invalid number '-9223372036854775809'"},
      {"\"abc", "error: unterminated string literal"}, {"'abc\"", "error: unterminated string literal"},
      {"'abc\\'", "error: unterminated string literal"}, {"'abc\\", "error: unterminated string literal"},
  };
  for (const Case& c : cases) CHECK_MESSAGE(lex(c.text) == c.expected, c.text);
}

TEST_CASE("lexer: numbers are read correctly rounded, and print as the shortest round trip") {
  auto single_float = [](const std::string& text) {
    auto tokens = tokenize(text);
    REQUIRE((tokens && tokens.value().size() == 1 && tokens.value()[0].kind == TokKind::Float));
    return tokens.value()[0].real;
  };
  const std::string huge = std::string(400, '9') + ".5", tiny = "0." + std::string(400, '0') + "1";
  const std::pair<std::string, double> reads[] = {
      {"0.1", 0.1}, {"2.5", 2.5}, {"9007199254740993.0", 9007199254740992.0} /* ties to even */,
      {"17976931348623157" + std::string(292, '0') + ".0", 1.7976931348623157e308}, {huge, INFINITY},
      {"-" + huge, -INFINITY}, {tiny, 0.0}, {"0." + std::string(323, '0') + "5", 5e-324} /* smallest subnormal */,
  };
  for (const auto& [text, value] : reads) CHECK(single_float(text) == value);
  CHECK(std::signbit(single_float("-" + tiny)));
  CHECK(std::signbit(single_float("-0.0")));

  const std::pair<double, const char*> forms[] = {
      {1.0, "1.0"}, {-0.0, "-0.0"}, {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}, {100.0, "100.0"},
      {1e15, "1000000000000000.0"}, {1e16, "1e16"}, {1.5e-7, "1.5e-7"}, {0.0001, "0.0001"}, {1e300, "1e300"},
      {5e-324, "5e-324"}, {INFINITY, "inf"}, {-INFINITY, "-inf"}, {123456.789, "123456.789"},
  };
  for (const auto& [value, text] : forms) CHECK(format_float(value) == text);

  // Any finite double, written out in full (the language has no exponent form), reads
  // back as itself; so does its shortest form wherever that needs no exponent.
  std::mt19937_64 random(17);
  for (int i = 0; i < 20000; ++i) {
    double value = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 140) - 120);
    if (i % 2) {
      const std::uint64_t bits = random();
      std::memcpy(&value, &bits, sizeof value);
    }
    if (!std::isfinite(value)) continue;
    CAPTURE(value);
    static char text[1500];
    std::snprintf(text, sizeof text, "%.1100f", value);  // glibc prints the exact decimal
    std::string exact(text);
    const std::size_t last = exact.find_last_not_of('0');
    exact.erase(last + (exact[last] == '.' ? 2 : 1));
    CHECK(single_float(exact) == value);
    CHECK(std::signbit(single_float(exact)) == std::signbit(value));
    if (format_float(value).find('e') == std::string::npos) CHECK(single_float(format_float(value)) == value);
  }
}

TEST_CASE("unicode: property tables agree with the character database; bad UTF-8 reads as U+FFFD") {
  struct Point {
    char32_t cp;
    bool white_space, alphabetic, numeric;
  };
  const Point points[] = {
      {U' ', true, false, false}, {U'\u0085', true, false, false}, {U'\u00a0', true, false, false},
      {U'\u200b', false, false, false} /* zero width space is not White_Space */, {U'\u3000', true, false, false},
      {U'a', false, true, false}, {U'Z', false, true, false}, {U'é', false, true, false}, {U'ß', false, true, false},
      {U'日', false, true, false}, {U'\u0345', false, true, false} /* a combining mark that is Alphabetic */,
      {U'5', false, false, true}, {U'²', false, false, true}, {U'½', false, false, true}, {U'Ⅻ', false, true, true},
      {U'\u0663', false, false, true}, {U'_', false, false, false}, {U'€', false, false, false},
      {U'\U0001F600', false, false, false}, {U'\U00020000', false, true, false}, {0x10FFFF, false, false, false},
  };
  for (const Point& p : points) {
    CAPTURE(static_cast<unsigned>(p.cp));
    CHECK(is_white_space(p.cp) == p.white_space);
    CHECK(is_alphabetic(p.cp) == p.alphabetic);
    CHECK(is_numeric(p.cp) == p.numeric);
  }
  const std::pair<std::string, std::u32string> decoded[] = {
      {"a\xff" "b", U"a\uFFFDb"}, {"\xc3", U"\uFFFD"} /* truncated */, {"\xc0\xaf", U"\uFFFD\uFFFD"} /* overlong */,
      {"\xed\xa0\x80", U"\uFFFD\uFFFD\uFFFD"} /* a surrogate */, {"\xf0\x9f\x98\x80", U"\U0001F600"},
      {"\xf4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"} /* above U+10FFFF */,
  };
  for (const auto& [bytes, text] : decoded) CHECK(decode_utf8(bytes) == text);
}
