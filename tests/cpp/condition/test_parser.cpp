#include <doctest/doctest.h>

#include <string>

#include "condition/evaluator.h"
#include "condition/parser.h"

using namespace tallowmere::condition;

namespace {

std::string parse(const std::string& text) {
  auto expr = parse_condition(text);
  return expr ? describe(expr.value()) : "error: " + expr.error();
}

std::string repeat(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

const std::string kTooDeep = "error: condition nested too deeply";

}  // namespace

TEST_CASE("parser: precedence, folding, literals, refusals, and one nesting budget") {
  const std::pair<std::string, std::string> cases[] = {
      {"a and b or c", "Or(And(Path[a], Path[b]), Path[c])"}, {"a or b and c", "Or(Path[a], And(Path[b], Path[c]))"},
      {"a or b or c or d", "Or(Or(Or(Path[a], Path[b]), Path[c]), Path[d])"},
      {"a and (b or c)", "And(Path[a], Or(Path[b], Path[c]))"}, {"not not x", "Not(Not(Path[x]))"},
      {"(x)", "Path[x]"}, {"((((x))))", "Path[x]"}, {"not a == b", "Not(Cmp(Eq, Path[a], Path[b]))"},
      {"user.profile.tier == \"gold\"", R"(Cmp(Eq, Path[user, profile, tier], Str("gold")))"},
      {"not a in b", "Not(Cmp(In, Path[a], Path[b]))"}, {"a != 1.5", "Cmp(Ne, Path[a], Float(1.5))"},
      {"a < -3", "Cmp(Lt, Path[a], Int(-3))"}, {"a <= b", "Cmp(Le, Path[a], Path[b])"},
      {"a > b", "Cmp(Gt, Path[a], Path[b])"}, {"a >= b", "Cmp(Ge, Path[a], Path[b])"},
      {"(a or b) == (c)", "Cmp(Eq, Or(Path[a], Path[b]), Path[c])"}, {"true", "Bool(true)"},
      {"None == null", "Cmp(Eq, Null, Null)"}, {"'x' in tags", R"(Cmp(In, Str("x"), Path[tags]))"},
      {"x and not y or z", "Or(And(Path[x], Not(Path[y])), Path[z])"},
      // Refusals.
      {"", "error: empty condition"}, {" \t\u00a0", "error: empty condition"}, {"a ==", "error: unexpected token None"},
      {"(a", "error: expected ')'"}, {"(a b", "error: expected ')'"}, {"a.", "error: expected identifier after '.'"},
      {"a.1", "error: expected identifier after '.'"}, {"items.0", "error: expected identifier after '.'"},
      {"a.'b'", "error: expected identifier after '.'"}, {"a b", R"(error: unexpected trailing token Ident("b"))"},
      {")", "error: unexpected token Some(RParen)"}, {"a == 1 == 2", "error: unexpected trailing token Eq"},
      {"a < b < c", "error: unexpected trailing token Lt"}, {"a == not b", "error: unexpected token Some(Not)"},
      {"a not in b", "error: unexpected trailing token Not"}, {"and", "error: unexpected token Some(And)"},
      {"a and", "error: unexpected token None"}, {"not", "error: unexpected token None"},
      {"()", "error: unexpected token Some(RParen)"}, {"a == 'x' 2.5", "error: unexpected trailing token Float(2.5)"},
      {"x 'a\"b'", R"(error: unexpected trailing token Str("a\"b"))"}, {"1 == == 1", "error: unexpected token Some(Eq)"},
      {"a = 1", "error: expected '==' (single '=' is not valid)"},
      // Twelve pairs of parentheses or sixty nots fit; each pair costs 5 and each not 1,
      // so 11 pairs leave room for 5 nots; chains do not raise the counter.
      {repeat("(", 12) + "x" + repeat(")", 12), "Path[x]"},
      {repeat("(", 13) + "x" + repeat(")", 13), kTooDeep},
      {repeat("(", 12) + "a == b" + repeat(")", 12), "Cmp(Eq, Path[a], Path[b])"},
      {repeat("not ", 60) + "x", repeat("Not(", 60) + "Path[x]" + repeat(")", 60)},
      {repeat("not ", 61) + "x", kTooDeep},
      {repeat("(", 11) + repeat("not ", 5) + "x" + repeat(")", 11), repeat("Not(", 5) + "Path[x]" + repeat(")", 5)},
      {repeat("(", 11) + repeat("not ", 6) + "x" + repeat(")", 11), kTooDeep},
      {repeat("(", 12) + "a and b or c" + repeat(")", 12), "Or(And(Path[a], Path[b]), Path[c])"},
      // The check stops recursion before the stack runs out.
      {repeat("not ", 100000) + "x", kTooDeep}, {repeat("(", 100000) + "x", kTooDeep}, {repeat("(not ", 50000), kTooDeep},
  };
  for (const auto& [text, expected] : cases) CHECK_MESSAGE(parse(text) == expected, text.substr(0, 60));
}

TEST_CASE("parser: chains of 100,000 operands parse, evaluate, collect and release") {
  for (const char* op : {" and ", " or "}) {
    CAPTURE(op);
    std::string text = "x0";
    for (int i = 1; i < 100000; ++i) text += op + std::string(i % 2 ? "x" : "y") + std::to_string(i % 1000);
    auto expr = parse_condition(text);
    REQUIRE(expr);
    std::vector<Path> paths;
    collect_paths(expr.value(), paths);
    CHECK(paths.size() == 1001);  // x0, the odd x1..x999 and the even y0..y998
    CHECK_FALSE(holds(expr.value(), tallowmere::Value::map()));
  }
  // A chain inside the deepest parentheses still costs no stack.
  CHECK(parse_condition(repeat("(", 12) + "a" + repeat(" or a", 100000) + repeat(")", 12)));
}
