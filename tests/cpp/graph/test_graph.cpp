// The routing graph core: random graphs against a reachability reference under both
// cycle policies, the pruned index of condition paths, routing over a whole context and
// over slots filled from it, long inputs without recursion, and allocation failure in
// add_edge. (Policy names, cycle messages and node order are in the Python graph tests.)
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fault_loop.h"
#include "graph/graph.h"
#include "graph_test_support.h"

using namespace tallowmere::graph;
using tallowmere::Value;

namespace {

std::string joined(const std::vector<Path>& paths) {  // free slots (empty paths) left out
  std::string out;
  for (const Path& p : paths) {
    if (p.empty()) continue;
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
  const std::vector<Value> slots = slots_for(g, *id, ctx);
  CHECK(g.route_slots(*id, slots.data()) == target);
  return target ? g.name(*target) : "None";
}

Value ctx(const char* key, Value value) {
  Value::Map pairs;
  pairs.emplace_back(Value::string(key), std::move(value));
  return Value::map(std::move(pairs));
}

Value tower(std::size_t depth) {  // {"k": {"k": ... true}}
  Value::Map pairs;
  insert_path(pairs, Path(depth, "k"), Value::boolean(true));
  return Value::map(std::move(pairs));
}

std::string dotted_k(std::size_t segments) {
  std::string text = "k";
  for (std::size_t i = 1; i < segments; ++i) text += ".k";
  return text;
}

// Whether `to` can be reached from `from` along `edges` (every node reaches itself).
bool reaches(const std::multimap<int, int>& edges, int from, int to) {
  std::vector<int> pending{from};
  std::set<int> seen{from};
  while (!pending.empty()) {
    const int node = pending.back();
    pending.pop_back();
    if (node == to) return true;
    for (auto [it, end] = edges.equal_range(node); it != end; ++it) {
      if (seen.insert(it->second).second) pending.push_back(it->second);
    }
  }
  return false;
}

}  // namespace

TEST_CASE("graph: random edges against a reachability reference, refused or kept by the policy") {
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    Graph strict(CyclePolicy::Error), loose(CyclePolicy::Allow);
    std::multimap<int, int> kept, all;
    std::set<int> kept_nodes, all_nodes;
    for (int n = static_cast<int>(rng() % 40); n > 0; --n) {
      const int a = static_cast<int>(rng() % 10), b = static_cast<int>(rng() % 10);
      const std::string from = "n" + std::to_string(a), to = "n" + std::to_string(b);
      REQUIRE(loose.add_edge(from, to, std::nullopt));
      all.emplace(a, b);
      all_nodes.insert({a, b});
      const bool closes_cycle = reaches(kept, b, a);
      CHECK(bool(strict.add_edge(from, to, std::nullopt)) == !closes_cycle);
      if (!closes_cycle) kept.emplace(a, b), kept_nodes.insert({a, b});
      CHECK(strict.is_dag());
    }
    bool cyclic = false;
    for (const auto& [a, b] : all) cyclic = cyclic || reaches(all, b, a);
    CHECK(loose.is_dag() == !cyclic);
    CHECK((loose.node_count() == all_nodes.size() && loose.edge_count() == all.size()));
    CHECK((strict.node_count() == kept_nodes.size() && strict.edge_count() == kept.size()));
  }
}

TEST_CASE("graph: condition paths are collected, ordered and pruned") {
  Graph g(CyclePolicy::Allow);
  for (const char* when : {"user == 1", "user.tier == 'gold'", "user"}) REQUIRE(g.add_edge("s", "t", std::string_view(when)));
  CHECK(paths_of(g, "s") == "user");
  REQUIRE(g.add_edge("p", "t", std::string_view("b.c > 1")));
  REQUIRE(g.add_edge("p", "t", std::string_view("a")));
  CHECK(paths_of(g, "p") == "b.c a");  // by slot: in order of arrival

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

TEST_CASE("graph: slots kept edge by edge match pruning everything read, and route agrees") {
  // Model: the live slots are exactly prune_paths of every path read so far, and each
  // binding starts at the live slot that is a prefix of its path.
  std::mt19937 rng(7);
  const char* segments[] = {"a", "b", "c"};
  auto random_path = [&] {
    Path path(1 + rng() % 3);
    for (std::string& segment : path) segment = segments[rng() % 3];
    return path;
  };
  auto dotted = [](const Path& path) { return joined({path}); };
  auto random_context = [&] {
    Value::Map pairs;
    for (int i = 0; i < 4; ++i) insert_path(pairs, random_path(), Value::from_i64(static_cast<std::int64_t>(rng() % 2)));
    return Value::map(std::move(pairs));
  };
  for (int round = 0; round < 40; ++round) {
    Graph g(CyclePolicy::Allow);
    std::vector<Path> read;
    for (int step = 0; step < 12; ++step) {
      std::string when;
      for (std::size_t n = 1 + rng() % 3; n-- > 0;) {
        const Path path = random_path();
        read.push_back(path);
        when += (when.empty() ? "" : (rng() % 2 ? " or " : " and ")) + dotted(path) + (rng() % 2 ? " == 1" : "");
      }
      REQUIRE(g.add_edge("s", "t" + std::to_string(step), std::string_view(when)));
      const std::vector<Path>& slots = g.condition_paths(*g.find("s"));
      std::vector<Path> live;
      for (const Path& path : slots) {
        if (!path.empty()) live.push_back(path);
      }
      std::vector<Path> expected = prune_paths(read);
      std::sort(live.begin(), live.end());
      std::sort(expected.begin(), expected.end());
      REQUIRE(live == expected);
      for (const Edge& edge : g.edges(*g.find("s"))) {
        REQUIRE(edge.bindings.size() == edge.condition->path_count());
        for (std::size_t p = 0; p < edge.bindings.size(); ++p) {
          const Path& slot_path = slots.at(edge.bindings[p].slot);
          CHECK(edge.bindings[p].covered == slot_path.size());
          CHECK((!slot_path.empty() && Path(edge.condition->path_at(p).begin(),
                                             edge.condition->path_at(p).begin() + slot_path.size()) == slot_path));
        }
      }
      for (int i = 0; i < 4; ++i) route(g, "s", random_context());
    }
  }
}

TEST_CASE("graph: routing takes the first edge whose condition holds") {
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view("flag")));
  REQUIRE(g.add_edge("a", "c", std::nullopt));
  REQUIRE(g.add_edge("a", "d", std::string_view("true")));
  g.add_node("lonely");
  const std::tuple<const char*, Value, const char*> cases[] = {
      {"a", ctx("flag", Value::boolean(true)), "b"}, {"a", ctx("flag", Value::f64(NAN)), "b"},
      {"a", ctx("flag", Value::from_i64(0)), "c"}, {"a", ctx("flag", Value::string("")), "c"},
      {"a", ctx("flag", Value::array()), "c"}, {"a", ctx("flag", Value::nil()), "c"}, {"a", Value::map(), "c"},
      {"a", Value::array({Value::boolean(true)}), "c"}, {"lonely", Value::map(), "None"},
      {"b", Value::map(), "None"}, {"nowhere", Value::map(), "None"},
  };
  for (const auto& [node, context, expected] : cases) CHECK(route(g, node, context) == expected);
}

TEST_CASE("graph: paths tens of thousands of segments long are indexed in linear time and cost no stack") {
  // Re-keying every prefix of a path would make this quadratic: minutes, not milliseconds.
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view(dotted_k(20000))));
  CHECK(route(g, "a", tower(20000)) == "b");
  Graph h(CyclePolicy::Error);
  REQUIRE(h.add_edge("a", "c", std::string_view(dotted_k(100000) + ".x or " + dotted_k(100000) + ".y")));
  REQUIRE(h.add_edge("a", "d", std::string_view(dotted_k(50000) + ".z")));
  CHECK(h.condition_paths(*h.find("a")).size() == 3);
  REQUIRE(h.add_edge("a", "e", std::string_view(dotted_k(50000))));
  // The new path takes over the first slot; the other two are left free.
  REQUIRE(h.condition_paths(*h.find("a")).size() == 3);
  CHECK(h.condition_paths(*h.find("a"))[0] == Path(50000, "k"));
  CHECK((h.condition_paths(*h.find("a"))[1].empty() && h.condition_paths(*h.find("a"))[2].empty()));
  CHECK(route(h, "a", tower(100001)) == "e");
}

TEST_CASE("graph: long chains without recursion") {
  const int n = 20000;
  Graph g(CyclePolicy::Error), loose(CyclePolicy::Allow);
  for (int i = 0; i + 1 < n; ++i) REQUIRE(g.add_edge(std::to_string(i), std::to_string(i + 1), std::nullopt));
  CHECK(g.is_dag());
  CHECK_FALSE(g.add_edge("lone", "lone", std::nullopt));  // a self-loop on a new node is a cycle too
  CHECK_FALSE(g.add_edge(std::to_string(n - 1), "0", std::nullopt));  // found by walking all of it
  for (int i = 0; i < n; ++i) REQUIRE(loose.add_edge(std::to_string(i), std::to_string((i + 1) % n), std::nullopt));
  CHECK_FALSE(loose.is_dag());
}

TEST_CASE("graph: an allocation failure part way through add_edge leaves the graph as it was") {
  if (!tallowmere::fault::kEnabled) return;
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("a", "b", std::string_view("p.q")));
  fail_each_allocation([&] { (void)g.add_edge("a", "new", std::string_view("p or r.s")); }, [&] {
    CHECK((g.node_count() == 2 && !g.find("new")));
    CHECK((g.edges(*g.find("a")).size() == 1 && g.edge_count() == 1));
    CHECK(paths_of(g, "a") == "p.q");
  });
  CHECK(paths_of(g, "a") == "p r.s");
  CHECK(g.edges(*g.find("a")).size() == 2);

  // Reusing a free slot, and binding to a slot taken over by another of the edge's paths.
  Graph h(CyclePolicy::Allow);
  REQUIRE(h.add_edge("a", "b", std::string_view("x.u or x.v")));
  REQUIRE(h.add_edge("a", "b", std::string_view("x")));  // slot 1 is left free
  fail_each_allocation([&] { (void)h.add_edge("a", "c", std::string_view("y.z.w == x.u or y.z")); }, [&] {
    CHECK(paths_of(h, "a") == "x");
    CHECK(h.condition_paths(*h.find("a")).size() == 2);
    CHECK(h.edges(*h.find("a")).size() == 2);
  });
  CHECK(paths_of(h, "a") == "x y.z");
  CHECK(h.condition_paths(*h.find("a")).size() == 2);
}
