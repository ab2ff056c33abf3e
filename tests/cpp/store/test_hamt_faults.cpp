// Allocation failure: every write is retried with its n-th allocation (node or key
// copy) failing until it succeeds; after each failure the map, its clone and the
// live node and payload counts are exactly as before.
#include <ostream>

#include "fault_loop.h"
#include "hamt_test_support.h"

using namespace hamt_test;

namespace {

// A key whose copies can fail like allocations do, to reach the unwinding of
// half-built node copies.
struct FaultyKey {
  std::string text;
  explicit FaultyKey(std::string t) : text(std::move(t)) {}
  FaultyKey(const FaultyKey& other) : text(other.text) { tallowmere::fault::fault_point(); }
  FaultyKey(FaultyKey&&) noexcept = default;
  FaultyKey& operator=(const FaultyKey&) = default;
  FaultyKey& operator=(FaultyKey&&) noexcept = default;
  operator std::string_view() const noexcept { return text; }
  friend bool operator==(const FaultyKey& a, const FaultyKey& b) noexcept { return a.text == b.text; }
  friend std::ostream& operator<<(std::ostream& out, const FaultyKey& key) { return out << key.text; }
};

template <class Map>
Model faulty_contents(const Map& map) {
  Model seen;
  map.for_each([&](const FaultyKey& key, const Val& value) { seen.emplace(key.text, value->number); });
  return seen;
}

template <class Map, class Op>
int until_success(Map& map, const Map& clone, Op&& op) {
  const std::string map_shape = shape(map), clone_shape = shape(clone);
  const Model before = faulty_contents(map);
  const auto nodes = TestMap<>::live_nodes();
  const long payloads = Payload::live;
  return fail_each_allocation(op, [&] {
    map.validate();
    REQUIRE(shape(map) == map_shape);
    REQUIRE(faulty_contents(map) == before);
    REQUIRE(shape(clone) == clone_shape);
    REQUIRE(TestMap<>::live_nodes() == nodes);
    REQUIRE(Payload::live == payloads);
  });
}

}  // namespace

TEST_CASE_TEMPLATE("hamt: a failed allocation or key copy leaves the map and its clones unchanged", Hasher,
                   tallowmere::SipHasher, NarrowHasher, DegenerateHasher) {
  if constexpr (!tallowmere::fault::kEnabled) {
    MESSAGE("built without TALLOWMERE_FAULT_INJECTION: nothing to inject");
    return;
  }
  using Map = tallowmere::PersistentMap<FaultyKey, Val, Hasher>;
  LeakCheck leaks;
  {
    std::mt19937_64 rng(41);
    Map map{Hasher{}}, clone{Hasher{}};
    Model model;
    int failures = 0;
    for (int step = 0; step < 500; ++step) {
      CAPTURE(step);
      if (rng() % 4 == 0) clone = map;  // about a quarter of writes meet a shared path
      if (rng() % 7 == 0) clone = Map{Hasher{}};
      const std::string name = key_name(rng() % 120);
      const int number = static_cast<int>(rng() % 1000);
      switch (rng() % 3) {
        case 0:
          failures += until_success(map, clone, [&] { map.insert(FaultyKey(name), make_val(number)); });
          model[name] = number;
          break;
        case 1:
          failures += until_success(map, clone, [&] { map.remove(FaultyKey(name)); });
          model.erase(name);
          break;
        default:
          failures += until_success(map, clone, [&] {
            if (Val* slot = map.find_for_update(FaultyKey(name))) *slot = make_val(number);
          });
          if (model.count(name)) model[name] = number;
      }
      REQUIRE(faulty_contents(map) == model);
    }
    map.validate();
    CHECK(failures > 0);
  }
  leaks.verify();
}
