#include <doctest/doctest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/fault.h"
#include "graph/graph.h"

using namespace tallowmere::graph;
using tallowmere::Value;

namespace {

std::string joined(const std::vector<Path>& paths) {
  std::string out;
  for (const Path& p : paths) {
    std::string dotted;
    for (const std::string& s : p) dotted += (dotted.empty() ? "" : ".") + s;
    out += (out.empty() ? "" : " ") + dotted;
  }
  return out;
}

std::string paths_of(const Graph& g, const std::string& node) {
  const auto id = g.find(node);
  return id ? joined(g.condition_paths(*id)) : "";
}

// Routes both ways, over the whole context and over slots filled from it, and
// insists they agree.
std::string route(const Graph& g, const std::string& node, const Value& ctx) {
  const auto id = g.find(node);
  if (!id) return "None";
  const auto target = g.route(*id, ctx);
  std::vector<Value> slots;
  for (const Path& path : g.condition_paths(*id)) {
    const Value* at = &ctx;
    for (const std::string& segment : path) {
      const Value* next = nullptr;
      if (at->is_map()) {
        for (const auto& pair : at->pairs()) {
          if (pair.first.is_string() && pair.first.bytes() == segment) {
            next = &pair.second;
            break;
          }
        }
      }
      at = next;
      if (at == nullptr) break;
    }
    slots.push_back(at ? *at : Value::nil());
  }
  CHECK(g.route_slots(*id, slots.data()) == target);
  return target ? g.name(*target) : "None";
}

Value ctx(const char* key, Value value) {
  Value::Map pairs;
  pairs.emplace_back(Value::string(key), std::move(value));
  return Value::map(std::move(pairs));
}

// Reachability by breadth-first search over a plain adjacency map.
bool reaches(const std::map<int, std::vector<int>>& adj, int from, int to) {
  std::set<int> seen{from};
  std::vector<int> frontier{from};
  while (!frontier.empty()) {
    const int n = frontier.back();
    frontier.pop_back();
    if (n == to) return true;
    auto it = adj.find(n);
    if (it == adj.end()) continue;
    for (int m : it->second) {
      if (seen.insert(m).second) frontier.push_back(m);
    }
  }
  return false;
}

}  // namespace

TEST_CASE("graph: cycle policy") {
  CHECK(parse_cycle_policy("error") == CyclePolicy::Error);
  CHECK(parse_cycle_policy("allow") == CyclePolicy::Allow);
  using namespace std::string_view_literals;
  for (std::string_view bad : {"Error"sv, "ALLOW"sv, ""sv, "error "sv, "allow\0"sv}) CHECK_FALSE(parse_cycle_policy(bad));

  Graph g(CyclePolicy::Error);
  auto self = g.add_edge("a", "a", std::nullopt);
  REQUIRE_FALSE(self);
  CHECK(self.error() == "adding edge 'a' -> 'a' would create a cycle (on_cycle='error')");
  CHECK(g.node_count() == 0);  // a refused edge registers neither endpoint

  REQUIRE(g.add_edge("a", "b", std::nullopt));
  REQUIRE(g.add_edge("b", "c", std::nullopt));
  auto back = g.add_edge("c", "a", std::nullopt);
  REQUIRE_FALSE(back);
  CHECK(back.error() == "adding edge 'c' -> 'a' would create a cycle (on_cycle='error')");
  CHECK(g.edges(*g.find("c")).empty());
  REQUIRE(g.add_edge("a", "b", std::nullopt));  // a duplicate edge is no cycle
  CHECK(g.edges(*g.find("a")).size() == 2);
  CHECK(g.edge_count() == 3);

  // Condition errors come first.
  auto both = g.add_edge("c", "a", std::string_view("x ="));
  REQUIRE_FALSE(both);
  CHECK(both.error() == "invalid condition: expected '==' (single '=' is not valid)");

  Graph loose(CyclePolicy::Allow);
  REQUIRE(loose.add_edge("a", "a", std::nullopt));
  CHECK_FALSE(loose.is_dag());
}

TEST_CASE("graph: invalid conditions change nothing") {
  Graph g(CyclePolicy::Error);
  for (const char* when : {"", "   ", "\t\u00a0", "a b", "(", "x = 1"}) {
    CAPTURE(when);
    auto result = g.add_edge("x", "y", std::string_view(when));
    REQUIRE_FALSE(result);
    CHECK(result.error().rfind("invalid condition: ", 0) == 0);
  }
  CHECK(g.add_edge("x", "y", std::string_view("")).error() == "invalid condition: empty condition");
  CHECK(g.node_count() == 0);
  CHECK_FALSE(g.find("x"));
}

TEST_CASE("graph: condition paths are collected, ordered and pruned") {
  Graph g(CyclePolicy::Allow);
  REQUIRE(g.add_edge("s", "t", std::string_view("user == 1")));
  REQUIRE(g.add_edge("s", "t", std::string_view("user.tier == 'gold'")));
  REQUIRE(g.add_edge("s", "t", std::string_view("user")));
  CHECK(paths_of(g, "s") == "user");

  REQUIRE(g.add_edge("p", "t", std::string_view("b.c > 1")));
  REQUIRE(g.add_edge("p", "t", std::string_view("a")));
  CHECK(paths_of(g, "p") == "a b.c");

  // A longer path collected first is dropped once its prefix arrives.
  REQUIRE(g.add_edge("q", "t", std::string_view("x.y.z or w.v")));
  CHECK(paths_of(g, "q") == "w.v x.y.z");
  REQUIRE(g.add_edge("q", "t", std::string_view("x.y")));
  CHECK(paths_of(g, "q") == "w.v x.y");
  REQUIRE(g.add_edge("q", "t", std::nullopt));
  CHECK(paths_of(g, "q") == "w.v x.y");
  CHECK(paths_of(g, "t") == "");

  // Segments compare whole: "ab" is no prefix of "abc".
  CHECK(joined(prune_paths({{"ab", "c"}, {"abc"}, {"ab"}, {"a", "b"}})) == "abc ab a.b");
}

TEST_CASE("graph: routing takes the first edge whose condition holds") {
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view("flag")));
  REQUIRE(g.add_edge("a", "c", std::nullopt));
  REQUIRE(g.add_edge("a", "d", std::string_view("true")));
  g.add_node("lonely");
  CHECK(route(g, "a", ctx("flag", Value::boolean(true))) == "b");
  CHECK(route(g, "a", ctx("flag", Value::f64(NAN))) == "b");
  for (const Value& falsy : {Value::from_i64(0), Value::string(""), Value::array(), Value::nil()}) {
    CHECK(route(g, "a", ctx("flag", falsy)) == "c");
  }
  CHECK(route(g, "a", Value::map()) == "c");
  CHECK(route(g, "a", Value::array({Value::boolean(true)})) == "c");
  CHECK(route(g, "lonely", Value::map()) == "None");
  CHECK(route(g, "b", Value::map()) == "None");
  CHECK(route(g, "nowhere", Value::map()) == "None");
}

TEST_CASE("graph: insert_path builds one nested Map per shared prefix") {
  Value::Map pairs;
  insert_path(pairs, {"user", "tier"}, Value::string("gold"));
  insert_path(pairs, {"user", "region"}, Value::string("eu"));
  insert_path(pairs, {"n"}, Value::from_i64(1));
  insert_path(pairs, {"n", "deeper"}, Value::from_i64(2));  // n holds no Map: dropped
  insert_path(pairs, {}, Value::from_i64(3));                // nothing to place
  Value::Map user;
  user.emplace_back(Value::string("tier"), Value::string("gold"));
  user.emplace_back(Value::string("region"), Value::string("eu"));
  Value::Map expected;
  expected.emplace_back(Value::string("user"), Value::map(user));
  expected.emplace_back(Value::string("n"), Value::from_i64(1));
  CHECK(Value::map(pairs) == Value::map(expected));

  // A path thousands of segments long costs no stack, building or releasing.
  Path deep(20000, "k");
  Value::Map tower;
  insert_path(tower, deep, Value::boolean(true));
  Value context = Value::map(std::move(tower));
  std::string text = "k";
  for (int i = 1; i < 20000; ++i) text += ".k";
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view(text)));
  CHECK(route(g, "a", context) == "b");
}

TEST_CASE("graph: very long dotted paths are indexed in linear time") {
  // Re-keying every prefix of a path would make these quadratic: minutes, not milliseconds.
  auto dotted = [](std::size_t segments, const char* last) {
    std::string text = "k";
    for (std::size_t i = 1; i < segments; ++i) text += ".k";
    return text + "." + last;
  };
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view(dotted(100000, "x") + " or " + dotted(100000, "y"))));
  REQUIRE(g.add_edge("a", "c", std::string_view(dotted(50000, "z"))));
  CHECK(g.condition_paths(*g.find("a")).size() == 3);
  Path prefix(50000, "k");
  REQUIRE(g.add_edge("a", "d", std::string_view(dotted(49999, "k"))));
  REQUIRE(g.condition_paths(*g.find("a")).size() == 1);
  CHECK(g.condition_paths(*g.find("a"))[0] == prefix);
  Value::Map pairs;
  insert_path(pairs, Path(100001, "k"), Value::boolean(true));
  CHECK(route(g, "a", Value::map(std::move(pairs))) == "d");
}

TEST_CASE("graph: names are sorted byte-wise") {
  Graph g(CyclePolicy::Allow);
  for (const char* name : {"ab", "a", "B", "", "é", "z"}) g.add_node(name);
  g.add_node("a");
  const auto names = g.sorted_names();
  CHECK(std::vector<std::string>(names.begin(), names.end()) == std::vector<std::string>{"", "B", "a", "ab", "z", "é"});
}

TEST_CASE("graph: random edges keep the graph acyclic under Error and is_dag agrees under Allow") {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 60; ++round) {
    const int node_pool = 3 + round % 12;
    Graph strict(CyclePolicy::Error);
    Graph loose(CyclePolicy::Allow);
    std::map<int, std::vector<int>> strict_model;
    std::map<int, std::vector<int>> loose_model;
    bool loose_has_cycle = false;
    for (int step = 0; step < 40; ++step) {
      const int from = static_cast<int>(rng() % node_pool);
      const int to = static_cast<int>(rng() % node_pool);
      const std::string f = "n" + std::to_string(from);
      const std::string t = "n" + std::to_string(to);
      const bool closes = reaches(strict_model, to, from);
      CHECK(static_cast<bool>(strict.add_edge(f, t, std::nullopt)) == !closes);
      if (!closes) strict_model[from].push_back(to);
      CHECK(strict.is_dag());

      loose_has_cycle = loose_has_cycle || reaches(loose_model, to, from);
      REQUIRE(loose.add_edge(f, t, std::nullopt));
      loose_model[from].push_back(to);
      CHECK(loose.is_dag() == !loose_has_cycle);
    }
  }
}

TEST_CASE("graph: long chains without recursion") {
  Graph g(CyclePolicy::Error);
  const int n = 20000;
  for (int i = 0; i + 1 < n; ++i) REQUIRE(g.add_edge(std::to_string(i), std::to_string(i + 1), std::nullopt));
  CHECK(g.is_dag());
  // Closing the chain is found by walking all of it.
  CHECK_FALSE(g.add_edge(std::to_string(n - 1), "0", std::nullopt));
  Graph loose(CyclePolicy::Allow);
  for (int i = 0; i < n; ++i) REQUIRE(loose.add_edge(std::to_string(i), std::to_string((i + 1) % n), std::nullopt));
  CHECK_FALSE(loose.is_dag());
}

TEST_CASE("graph: an allocation failure part way through add_edge leaves the graph as it was") {
  if (!tallowmere::fault::kEnabled) return;
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view("p.q")));
  for (std::uint64_t nth = 1;; ++nth) {
    tallowmere::fault::arm(nth);
    bool threw = false;
    try {
      (void)g.add_edge("a", "new", std::string_view("p or r.s"));
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    tallowmere::fault::disarm();
    if (!threw) break;
    CHECK(g.node_count() == 2);
    CHECK_FALSE(g.find("new"));
    CHECK(g.edges(*g.find("a")).size() == 1);
    CHECK(g.edge_count() == 1);
    CHECK(paths_of(g, "a") == "p.q");
  }
  CHECK(paths_of(g, "a") == "p r.s");
  CHECK(g.edges(*g.find("a")).size() == 2);
}
