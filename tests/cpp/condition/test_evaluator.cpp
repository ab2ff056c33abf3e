#include <doctest/doctest.h>

#include <cmath>
#include <string>
#include <vector>

#include "codec/msgpack_writer.h"
#include "codec/output_buffer.h"
#include "condition/encoded.h"
#include "condition/evaluator.h"
#include "condition/parser.h"

using namespace tallowmere::condition;
using tallowmere::Value;

namespace {

Value str(const char* s) { return Value::string(s); }

Value map(std::initializer_list<std::pair<const char*, Value>> entries) {
  Value::Map pairs;
  for (const auto& [key, value] : entries) pairs.emplace_back(str(key), value);
  return Value::map(std::move(pairs));
}

const Value& context() {
  static const Value ctx = map({
      {"tier", str("gold")}, {"n", Value::from_i64(3)}, {"x", Value::f64(1.0)},
      {"tags", Value::array({str("a"), str("b")})}, {"user", map({{"age", Value::from_i64(20)}})}, {"z", Value::nil()},
      {"nan", Value::f64(NAN)}, {"neg", Value::from_i64(-7)}, {"big", Value::from_u64(18446744073709551615ull)},
      {"f32", Value::f32(0.5f)}, {"zero32", Value::f32(-0.0f)}, {"bin", Value::binary("\x01")},
      {"empty_bin", Value::binary("")}, {"ext", Value::ext(3, "")},
      {"nums", Value::array({Value::from_i64(1), Value::f64(2.5)})},
      {"nested", Value::array({Value::array({Value::from_i64(1)})})},
      {"tier", str("shadowed")},  // a repeated key: the first pair wins
  });
  return ctx;
}

Value evaluate_text(const std::string& text, const Value& ctx = context()) {
  auto expr = parse_condition(text);
  REQUIRE(expr);
  return eval(expr.value(), ctx);
}

}  // namespace

TEST_CASE("evaluator: comparisons and membership") {
  const std::pair<const char*, bool> cases[] = {
      {"tier == \"gold\"", true},     {"n >= 3", true},           {"n == 3.0", true},
      {"x == 1", true},               {"user.age > 18", true},    {"\"a\" in tags", true},
      {"\"ol\" in tier", true},       {"\"\" in tier", true},     {"1 in tags", false},
      {"\"c\" in tags", false},       {"missing == null", true},  {"z == null", true},
      {"not missing", true},          {"n == \"3\"", false},      {"n != \"3\"", true},
      {"n < \"4\"", false},           {"\"abc\" < \"abd\"", true}, {"\"ab\" < \"abc\"", true},
      {"true == 1", false},           {"tier in user", false},    {"\"age\" in user", true},
      {"nan == nan", false},          {"nan != nan", true},       {"nan < 1", false},
      {"nan >= nan", false},          {"neg < 0", true},          {"neg == -7.0", true},
      {"big > 9223372036854775807", true}, {"f32 == 0.5", true},  {"1 in nums", true},
      {"2.5 in nums", true},          {"1.0 in nums", true},      {"\"1\" in nums", false},
      {"tier in tier", true},         {"1 in 1", false},          {"null in tags", false},
      {"\"é\" > \"z\"", true},        {"\"a\" <= \"a\"", true},   {"\"b\" >= \"a\"", true},
      {"\"a\" > \"a\"", false},        {"\"a\" < \"a\"", false},   {"\"ab\" > \"a\"", true},
      {"true < false", false},        {"null == false", false},   {"tags == tags", true},
      {"user != user", false},        {"nested == nested", true}, {"x <= 1", true},
      {"-0.0 == 0", true},            {"tier.x == null", true},   {"missing.deeper == null", true},
      {"tags.a == null", true},       {"n in tier", false},       {"1 in user", false},
  };
  for (const auto& [text, expected] : cases) CHECK_MESSAGE(evaluate_text(text) == Value::boolean(expected), text);
}

TEST_CASE("evaluator: values of bare operands; and/or/not give Booleans") {
  const std::pair<const char*, Value> cases[] = {
      {"tier and n", Value::boolean(true)}, {"0 or \"\"", Value::boolean(false)},
      {"tier or missing", Value::boolean(true)}, {"not tier", Value::boolean(false)},
      {"user", map({{"age", Value::from_i64(20)}})}, {"missing", Value::nil()}, {"missing.deeper", Value::nil()},
      {"tier", str("gold")}, {"-3", Value::from_i64(-3)}, {"3", Value::from_u64(3)},  // non-negative literals are unsigned
  };
  for (const auto& [text, value] : cases) CHECK_MESSAGE(evaluate_text(text) == value, text);
}

TEST_CASE("evaluator: truthiness of every kind, as a bare path routes on it") {
  const std::pair<Value, bool> cases[] = {
      {Value::nil(), false}, {Value::boolean(false), false}, {Value::boolean(true), true},
      {Value::from_i64(0), false}, {Value::from_i64(-1), true}, {Value::from_u64(1ull << 63), true},
      {Value::f64(0.0), false}, {Value::f64(-0.0), false}, {Value::f64(NAN), true}, {Value::f64(1e-300), true},
      {Value::f32(-0.0f), false}, {Value::f32(NAN), true}, {str(""), false}, {str("0"), true},
      {Value::binary(""), false}, {Value::binary(std::string(1, '\0')), true}, {Value::array(), false},
      {Value::array({Value::nil()}), true}, {Value::map(), false}, {map({{"", Value::nil()}}), true},
      {Value::ext(0, ""), true},
  };
  const auto bare = parse_condition("v"), negated = parse_condition("not v");
  REQUIRE((bare && negated));
  for (const auto& [value, truthy] : cases) {
    CAPTURE(static_cast<int>(value.kind()));
    CHECK(is_truthy(value) == truthy);
    CHECK(holds(bare.value(), map({{"v", value}})) == truthy);
    CHECK(holds(negated.value(), map({{"v", value}})) == !truthy);
  }
}

TEST_CASE("evaluator: contexts that are not maps read every path as missing") {
  const Value contexts[] = {Value::array({str("a")}), Value::from_i64(1), str("tier"), Value::nil()};
  for (const Value& ctx : contexts) {
    CHECK(evaluate_text("a", ctx).is_nil());
    CHECK(evaluate_text("a == null", ctx) == Value::boolean(true));
    CHECK(evaluate_text("true", ctx) == Value::boolean(true));
  }
  // Keys that are not Strings never match a path segment.
  Value::Map pairs;
  pairs.emplace_back(Value::binary("a"), Value::from_i64(1));
  pairs.emplace_back(Value::from_i64(1), Value::from_i64(2));
  CHECK(evaluate_text("a", Value::map(pairs)).is_nil());
}

TEST_CASE("evaluator: short-circuit reaches the same answer as the full fold") {
  // A decisive operand at either end of a long chain.
  std::string ors = "1", ands = "0";
  for (int i = 0; i < 50000; ++i) {
    ors += " or missing" + std::to_string(i);
    ands += " and tier";
  }
  CHECK(evaluate_text(ors) == Value::boolean(true));
  CHECK(evaluate_text(ands) == Value::boolean(false));
  CHECK(evaluate_text(ors + " or 0") == Value::boolean(true));
  CHECK(evaluate_text("missing or " + ors.substr(5)) == Value::boolean(false));
}

TEST_CASE("collect_paths: each distinct path once, in order of first occurrence") {
  auto paths_of = [](const std::string& text, std::vector<Path> paths = {}) {
    auto expr = parse_condition(text);
    REQUIRE(expr);
    collect_paths(expr.value(), paths);
    std::string out;
    for (const Path& p : paths) {
      std::string joined;
      for (const std::string& s : p) joined += (joined.empty() ? "" : ".") + s;
      out += (out.empty() ? "" : " ") + joined;
    }
    return out;
  };
  CHECK(paths_of("a == 1 or (b.c > a and a.b)") == "a b.c a.b");
  CHECK(paths_of("not (x in y) and 'k' == z.w") == "x y z.w");
  CHECK(paths_of("1 == 2 and true") == "");
  CHECK(paths_of("a or b", {{"b"}, {"c"}}) == "b c a");
  CHECK(paths_of("a.b or a.b.c or a") == "a.b a.b.c a");
}

TEST_CASE("holds_encoded: reads only the paths, and answers as holds() on the decoded tree") {
  Value::Map wide;  // a map16 with a long (str8) key among many skipped entries
  for (int i = 0; i < 40; ++i) wide.emplace_back(str(("field" + std::to_string(i)).c_str()), Value::f64(i / 2.0));
  wide.emplace_back(str("a_key_longer_than_thirty_one_bytes_x"), Value::from_i64(7));
  Value::Map repeated;  // keys repeat: the first one wins
  repeated.emplace_back(str("n"), Value::from_i64(1));
  repeated.emplace_back(Value::from_i64(5), str("skipped non-str key"));
  repeated.emplace_back(str("n"), Value::from_i64(2));
  repeated.emplace_back(str("b"), Value::binary(std::string(300, '\x01')));
  const Value stored[] = {
      map({{"tier", str("gold")}, {"n", Value::from_i64(3)}, {"z", Value::nil()},
           {"nums", Value::array({Value::from_i64(1), Value::from_i64(3)})},
           {"user", map({{"age", Value::from_i64(20)}, {"tags", Value::array({str("vip")})}})}}),
      map({{"skip", Value::array({map({{"tier", str("x")}}), Value::f32(1.5f), Value::from_i64(-70000)})},
           {"user", Value::from_i64(3)}, {"tier", str("silver")}}),
      Value::map(std::move(wide)), Value::map(std::move(repeated)),
      Value::array({str("tier"), str("gold")}), str("gold"), Value::nil(),
  };
  const char* conditions[] = {"tier == \"gold\"", "user.age > 18 and n in nums", "not z", "missing", "n != 3",
                              "n == 1", "\"vip\" in user.tags", "a_key_longer_than_thirty_one_bytes_x == 7",
                              "field39 > 19 or b", "user or tier", "not (user.age and skip)"};
  for (const Value& value : stored) {
    tallowmere::OutputBuffer out;
    tallowmere::msgpack::encode_value(out, value);
    const std::string bytes(out.data(), out.size());
    for (const char* text : conditions) {
      CAPTURE(text);
      auto parsed = parse_condition(text);
      REQUIRE(parsed.ok());
      CHECK(holds_encoded(parsed.value(), bytes) == holds(parsed.value(), value));
      // Every cut of the bytes is read safely (sanitizer builds watch the bounds).
      for (std::size_t cut = 0; cut < bytes.size(); ++cut) (void)holds_encoded(parsed.value(), bytes.substr(0, cut));
    }
  }
  // Bytes that cannot be read along a path hold nothing: cut short, or an extension type on the way.
  auto missing = parse_condition("not missing");
  REQUIRE(missing.ok());
  CHECK_FALSE(holds_encoded(missing.value(), std::string("\x82\xa1x\x01", 4)));
  CHECK_FALSE(holds_encoded(missing.value(), std::string("\x81\xd4\x01\x00\x01", 5)));
  CHECK(holds_encoded(missing.value(), std::string("\x81\xa1x\x01", 4)));
}
