#include <doctest/doctest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "graph/graph.h"
#include "graph_test_support.h"

using namespace tallowmere::graph;
using tallowmere::Value;

namespace {

Value state(const char* tier, std::int64_t n) {
  Value::Map pairs;
  insert_path(pairs, {"user", "tier"}, Value::string(tier));
  insert_path(pairs, {"n"}, Value::from_i64(n));
  return Value::map(std::move(pairs));
}

}  // namespace

TEST_CASE("graph threads: concurrent routes over one graph read it without interference") {
  Graph g(CyclePolicy::Error);
  REQUIRE(g.add_edge("start", "gold", std::string_view("user.tier == 'gold' and n >= 3")));
  REQUIRE(g.add_edge("start", "silver", std::string_view("user.tier == 'silver' or n > 100")));
  REQUIRE(g.add_edge("start", "default", std::nullopt));
  const NodeId start = *g.find("start");
  const std::pair<Value, std::string> cases[] = {
      {state("gold", 3), "gold"}, {state("gold", 2), "default"}, {state("silver", 0), "silver"},
      {state("bronze", 101), "silver"}, {Value::map(), "default"},
  };
  // Routes go through route_slots, the path the binding takes without the interpreter lock.
  std::vector<std::vector<Value>> slots;
  for (const auto& item : cases) slots.push_back(slots_for(g, start, item.first));

  std::atomic<int> wrong{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 3000; ++i) {
        const std::size_t c = (i + t) % std::size(cases);
        const auto target = g.route_slots(start, slots[c].data());
        if (!target || g.name(*target) != cases[c].second) wrong.fetch_add(1);
      }
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  CHECK(wrong.load() == 0);
}
