// Allocation failure: with fault injection compiled in, every write is retried with
// its n-th allocation (node or key copy) failing, for n = 1, 2, ... until it succeeds.
// After each failure the map, its clones and the live-node count are exactly as before.
#include <ostream>

#include "common/fault.h"
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

template <class Hasher>
using FaultyMap = tallowmere::PersistentMap<FaultyKey, Val, Hasher>;

template <class Map>
Model faulty_contents(const Map& map) {
  Model seen;
  map.for_each([&](const FaultyKey& key, const Val& value) { seen.emplace(key.text, value->number); });
  return seen;
}

// Runs `op` with the n-th fault point failing for n = 1.. until it succeeds; returns
// how many attempts failed.
template <class Map, class Op>
int until_success(Map& map, const Map& clone, Op&& op) {
  for (int nth = 1;; ++nth) {
    const std::string shape = map.structure();
    const Model before = faulty_contents(map);
    const std::string clone_shape = clone.structure();
    const auto nodes = TestMap<>::live_nodes();
    const long payloads = Payload::live;
    tallowmere::fault::arm(static_cast<std::uint64_t>(nth));
    try {
      op();
      const bool fired = tallowmere::fault::triggered();
      tallowmere::fault::disarm();
      REQUIRE_FALSE(fired);
      return nth - 1;
    } catch (const std::bad_alloc&) {
      tallowmere::fault::disarm();
    }
    CAPTURE(nth);
    map.validate();
    REQUIRE(map.structure() == shape);
    REQUIRE(faulty_contents(map) == before);
    REQUIRE(clone.structure() == clone_shape);
    REQUIRE(TestMap<>::live_nodes() == nodes);
    REQUIRE(Payload::live == payloads);
  }
}

template <class Hasher>
void run_fault_sequence(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  FaultyMap<Hasher> map{Hasher{}};
  FaultyMap<Hasher> clone{Hasher{}};
  Model model;
  int failures = 0;
  for (int step = 0; step < 500; ++step) {
    CAPTURE(step);
    if (rng() % 4 == 0) clone = map;  // about a quarter of writes meet a shared path
    if (rng() % 7 == 0) clone = FaultyMap<Hasher>{Hasher{}};
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
        break;
    }
    REQUIRE(faulty_contents(map) == model);
  }
  map.validate();
  CHECK(failures > 0);
}

}  // namespace

TEST_CASE_TEMPLATE("hamt: a failed allocation or key copy leaves the map and its clones unchanged", Hasher,
                   tallowmere::SipHasher, NarrowHasher, DegenerateHasher) {
  if constexpr (!tallowmere::fault::kEnabled) {
    MESSAGE("built without TALLOWMERE_FAULT_INJECTION: nothing to inject");
    return;
  }
  LeakCheck leaks;
  run_fault_sequence<Hasher>(41);
  leaks.verify();
}
