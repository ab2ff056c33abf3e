// libFuzzer target for the condition language and the graph's use of it: any
// byte string is lexed and parsed; a refusal must carry one of the language's
// messages, and an accepted condition must collect its paths, evaluate against
// contexts built from those paths (eval and holds agreeing), and go into a graph
// whose pruned path list is prefix-free. Crashes, sanitizer reports, stack
// exhaustion and unknown messages are findings. Run with -max_len=1000000:
// deep nesting and long chains need long inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "codec/msgpack_writer.h"
#include "codec/output_buffer.h"
#include "condition/encoded.h"
#include "condition/evaluator.h"
#include "condition/lexer.h"
#include "condition/parser.h"
#include "graph/graph.h"

using namespace tallowmere;
using namespace tallowmere::condition;
using tallowmere::graph::NodeId;

namespace {

bool known_message(const std::string& message) {
  static const char* const kPrefixes[] = {
      "empty condition", "expected '!=' (use 'not' for negation)", "expected '==' (single '=' is not valid)",
      "unterminated string literal", "invalid number '", "unexpected character '", "condition nested too deeply",
      "expected identifier after '.'", "expected ')'", "unexpected token None", "unexpected token Some(",
      "unexpected trailing token ",
  };
  for (const char* prefix : kPrefixes) {
    if (message.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void require(bool condition) {
  if (!condition) std::abort();
}

// Values of every kind, chosen by one input byte, for the leaves of a context.
Value leaf_value(std::uint8_t pick) {
  switch (pick % 12) {
    case 0: return Value::nil();
    case 1: return Value::boolean(pick & 0x10);
    case 2: return Value::from_i64(static_cast<std::int8_t>(pick));
    case 3: return Value::from_u64(~std::uint64_t{0});
    case 4: return Value::f64(pick & 0x10 ? std::numeric_limits<double>::quiet_NaN() : -0.0);
    case 5: return Value::f32(1.5f);
    case 6: return Value::string(std::string(pick % 5, 'a'));
    case 7: return Value::binary("\x00");
    case 8: return Value::array({Value::from_i64(1), Value::f64(1.0), Value::string("a")});
    case 9: return Value::map({{Value::string("a"), Value::from_i64(pick)}, {Value::from_i64(1), Value::nil()}});
    case 10: return Value::ext(-1, "x");
    default: return Value::string(std::string("a\xff\x00", 3));
  }
}

// The value a path reaches in a Map context, as the evaluator reads it.
Value eval_path(const Value& context, const Path& path) {
  std::string text;
  for (const std::string& segment : path) text += (text.empty() ? "" : ".") + segment;
  auto parsed = parse_condition(text);
  require(static_cast<bool>(parsed));
  return eval(parsed.value(), context);
}

bool is_prefix(const Path& shorter, const Path& longer) {
  if (shorter.size() > longer.size()) return false;
  for (std::size_t i = 0; i < shorter.size(); ++i) {
    if (shorter[i] != longer[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto tokens = tokenize(text);
  if (!tokens) {
    require(known_message(tokens.error()));
    require(!parse_condition(text));
    return 0;
  }
  for (const Tok& tok : tokens.value()) require(!debug_form(tok).empty());

  auto parsed = parse_condition(text);
  if (!parsed) {
    require(known_message(parsed.error()));
    return 0;
  }
  const Expr& expr = parsed.value();
  (void)describe(expr);

  std::vector<Path> paths;
  collect_paths(expr, paths);
  std::vector<Path> again = paths;
  collect_paths(expr, again);
  require(again.size() == paths.size());  // nothing collected twice

  // Contexts: not a map, an empty map, and one holding a value at every read path.
  Value::Map pairs;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    graph::insert_path(pairs, paths[i], leaf_value(size ? data[i % size] : 0));
  }
  const Value contexts[] = {Value::array({Value::nil()}), Value::map(), Value::map(std::move(pairs))};
  // Leaves that do not survive an encode and decode unchanged (Ext, invalid UTF-8).
  bool round_trips = true;
  for (std::size_t i = 0; i < paths.size(); ++i) round_trips &= (size ? data[i % size] : 0) % 12 < 10;
  for (const Value& context : contexts) {
    const Value result = eval(expr, context);
    require(is_truthy(result) == holds(expr, context));
    // Evaluated straight from the encoded bytes, reading only the paths: the same
    // answer, and any cut of the bytes is read within bounds.
    OutputBuffer out;
    try {
      msgpack::encode_value(out, context);
    } catch (const CoreError&) {
      continue;  // nested deeper than the codec writes
    }
    const std::string_view bytes(out.data(), out.size());
    if (round_trips) require(holds_encoded(expr, bytes) == holds(expr, context));
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 8) (void)holds_encoded(expr, bytes.substr(0, cut));
  }

  graph::Graph g(graph::CyclePolicy::Error);
  require(static_cast<bool>(g.add_edge("a", "b", text)));
  require(static_cast<bool>(g.add_edge("a", "c", text)));
  require(!g.add_edge("b", "a", text));
  const std::vector<Path>& kept = g.condition_paths(*g.find("a"));
  for (std::size_t i = 0; i < kept.size(); ++i) {
    for (std::size_t j = 0; j < kept.size(); ++j) require(i == j || !is_prefix(kept[i], kept[j]));
    if (i > 0) require(kept[i - 1].size() <= kept[i].size());
  }
  // Slots hold the values at the kept paths of the third context: routing over them
  // must decide as routing over the whole Map does.
  const NodeId a = *g.find("a");
  std::vector<Value> slots;
  for (const Path& path : kept) slots.push_back(eval_path(contexts[2], path));
  require(g.route_slots(a, slots.data()) == g.route(a, contexts[2]));
  for (const Value& context : contexts) {
    const auto target = g.route(a, context);
    require(!target || g.name(*target) == "b");
  }
  return 0;
}
