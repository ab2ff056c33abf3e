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
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

struct Case {
  const char* text;
  const char* expected;
};

}  // namespace

TEST_CASE("parser: precedence, folding and literals") {
  const Case cases[] = {
      {"a and b or c", "Or(And(Path[a], Path[b]), Path[c])"},
      {"a or b and c", "Or(Path[a], And(Path[b], Path[c]))"},
      {"a or b or c or d", "Or(Or(Or(Path[a], Path[b]), Path[c]), Path[d])"},
      {"a and (b or c)", "And(Path[a], Or(Path[b], Path[c]))"},
      {"not not x", "Not(Not(Path[x]))"},
      {"(x)", "Path[x]"},
      {"((((x))))", "Path[x]"},
      {"user.profile.tier == \"gold\"", R"(Cmp(Eq, Path[user, profile, tier], Str("gold")))"},
      {"not a == b", "Not(Cmp(Eq, Path[a], Path[b]))"},
      {"not a in b", "Not(Cmp(In, Path[a], Path[b]))"},
      {"a != 1.5", "Cmp(Ne, Path[a], Float(1.5))"},
      {"a < -3", "Cmp(Lt, Path[a], Int(-3))"},
      {"a <= b", "Cmp(Le, Path[a], Path[b])"},
      {"a > b", "Cmp(Gt, Path[a], Path[b])"},
      {"a >= b", "Cmp(Ge, Path[a], Path[b])"},
      {"(a or b) == (c)", "Cmp(Eq, Or(Path[a], Path[b]), Path[c])"},
      {"true", "Bool(true)"},
      {"None == null", "Cmp(Eq, Null, Null)"},
      {"'x' in tags", R"(Cmp(In, Str("x"), Path[tags]))"},
      {"x and not y or z", "Or(And(Path[x], Not(Path[y])), Path[z])"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.text);
    CHECK(parse(c.text) == c.expected);
  }
}

TEST_CASE("parser: refusals carry the documented messages") {
  const Case cases[] = {
      {"", "error: empty condition"},
      {" \t\u00a0", "error: empty condition"},
      {"a ==", "error: unexpected token None"},
      {"(a", "error: expected ')'"},
      {"(a b", "error: expected ')'"},
      {"a.", "error: expected identifier after '.'"},
      {"a.1", "error: expected identifier after '.'"},
      {"items.0", "error: expected identifier after '.'"},
      {"a.'b'", "error: expected identifier after '.'"},
      {"a b", R"(error: unexpected trailing token Ident("b"))"},
      {")", "error: unexpected token Some(RParen)"},
      {"a == 1 == 2", "error: unexpected trailing token Eq"},
      {"a < b < c", "error: unexpected trailing token Lt"},
      {"a == not b", "error: unexpected token Some(Not)"},
      {"a not in b", "error: unexpected trailing token Not"},
      {"and", "error: unexpected token Some(And)"},
      {"a and", "error: unexpected token None"},
      {"not", "error: unexpected token None"},
      {"()", "error: unexpected token Some(RParen)"},
      {"a == 'x' 2.5", "error: unexpected trailing token Float(2.5)"},
      {"x 'a\"b'", R"(error: unexpected trailing token Str("a\"b"))"},
      {"1 == == 1", "error: unexpected token Some(Eq)"},
      {"a = 1", "error: expected '==' (single '=' is not valid)"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.text);
    CHECK(parse(c.text) == c.expected);
  }
}

TEST_CASE("parser: the nesting counter") {
  SUBCASE("twelve pairs of parentheses parse, thirteen do not") {
    CHECK(parse(repeat("(", 12) + "x" + repeat(")", 12)) == "Path[x]");
    CHECK(parse(repeat("(", 13) + "x" + repeat(")", 13)) == "error: condition nested too deeply");
    CHECK(parse(repeat("(", 12) + "a == b" + repeat(")", 12)) == "Cmp(Eq, Path[a], Path[b])");
  }
  SUBCASE("sixty nots parse, sixty-one do not") {
    CHECK(parse(repeat("not ", 60) + "x").rfind("Not(", 0) == 0);
    CHECK(parse(repeat("not ", 61) + "x") == "error: condition nested too deeply");
  }
  SUBCASE("the check stops recursion before the stack runs out") {
    CHECK(parse(repeat("not ", 100000) + "x") == "error: condition nested too deeply");
    CHECK(parse(repeat("(", 100000) + "x") == "error: condition nested too deeply");
    CHECK(parse(repeat("(not ", 50000)) == "error: condition nested too deeply");
  }
  SUBCASE("parentheses and nots share one budget") {
    // Each pair costs 5 and each not 1: 11 pairs (55) leave room for 5 nots.
    CHECK(parse(repeat("(", 11) + repeat("not ", 5) + "x" + repeat(")", 11)).rfind("Not(", 0) == 0);
    CHECK(parse(repeat("(", 11) + repeat("not ", 6) + "x" + repeat(")", 11)) ==
          "error: condition nested too deeply");
  }
  SUBCASE("chains do not raise the counter") {
    CHECK(parse(repeat("(", 12) + "a and b or c" + repeat(")", 12)) == "Or(And(Path[a], Path[b]), Path[c])");
  }
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
    const tallowmere::Value empty = tallowmere::Value::map();
    CHECK_FALSE(holds(expr.value(), empty));
  }
  // A chain inside the deepest parentheses still costs no stack.
  std::string inner = "a";
  inner += repeat(" or a", 100000);
  CHECK(parse_condition(repeat("(", 12) + inner + repeat(")", 12)));
}
