#include <set>

#include "hamt_test_support.h"

using namespace hamt_test;

namespace {

struct DiffResult {
  std::map<std::string, int> added;    // key -> value in self
  std::map<std::string, int> removed;  // key -> value in base
  std::map<std::string, std::pair<int, int>> both;
  std::vector<std::string> self_order, base_order;  // keys as reported, per side
};

template <class Map>
bool follows_iteration_order(const std::vector<std::string>& reported, const Map& map) {
  auto next = reported.begin();
  for (auto [key, value] : map) {
    if (next != reported.end() && *next == key) ++next;
  }
  return next == reported.end();
}

template <class Map>
DiffResult run_diff(const Map& base, const Map& self) {
  DiffResult out;
  Map::diff(
      base, self,
      [&](const std::string& key, const Val& value) {
        REQUIRE_MESSAGE(out.added.emplace(key, value->number).second, "added twice: " << key);
        out.self_order.push_back(key);
      },
      [&](const std::string& key, const Val& value) {
        REQUIRE_MESSAGE(out.removed.emplace(key, value->number).second, "removed twice: " << key);
        out.base_order.push_back(key);
      },
      [&](const std::string& key, const Val& before, const Val& after) {
        REQUIRE_MESSAGE(before.get() != after.get(), "reported the very same value for " << key);
        REQUIRE_MESSAGE(out.both.emplace(key, std::pair(before->number, after->number)).second,
                        "changed twice: " << key);
        out.self_order.push_back(key);
      });
  // Each side's reports come in that map's iteration order, as if it had been walked.
  CHECK(follows_iteration_order(out.self_order, self));
  CHECK(follows_iteration_order(out.base_order, base));
  return out;
}

// Every reported key is on the right side of the two model states; together with
// check_applies this pins the diff down (a spurious `both` for an unchanged value
// that was stored again is allowed).
void check_diff(const DiffResult& diff, const Model& base, const Model& self) {
  for (const auto& [key, number] : diff.added) CHECK((base.count(key) == 0 && self.at(key) == number));
  for (const auto& [key, number] : diff.removed) CHECK((self.count(key) == 0 && base.at(key) == number));
  for (const auto& [key, numbers] : diff.both) {
    CHECK((base.at(key) == numbers.first && self.at(key) == numbers.second));
  }
}

// Applying the diff to base must give self.
void check_applies(const DiffResult& diff, Model base, const Model& self) {
  for (const auto& [key, number] : diff.removed) base.erase(key);
  for (const auto& [key, number] : diff.added) base[key] = number;
  for (const auto& [key, numbers] : diff.both) base[key] = numbers.second;
  CHECK(base == self);
}

}  // namespace

TEST_CASE_TEMPLATE("hamt diff: snapshots of one lineage diff like their models", Hasher, tallowmere::SipHasher,
                   NarrowHasher, DegenerateHasher) {
  LeakCheck leaks;
  for (std::uint64_t seed : {21u, 22u, 23u}) {
    CAPTURE(seed);
    std::mt19937_64 rng(seed);
    TestMap<Hasher> map{Hasher{}};
    Model model;
    std::vector<std::pair<TestMap<Hasher>, Model>> versions;
    for (int step = 0; step < 1500; ++step) {
      const std::string key = key_name(rng() % 300);
      if (rng() % 3 == 0) {
        map.remove(key);
        model.erase(key);
      } else {
        const int number = static_cast<int>(rng() % 4);  // often the same number, new object
        map.insert(key, make_val(number));
        model[key] = number;
      }
      if (step % 50 == 0) versions.emplace_back(map, model);
    }
    versions.emplace_back(map, model);
    versions.emplace_back(TestMap<Hasher>{Hasher{}}, Model{});
    for (std::size_t i = 0; i < versions.size(); i += 3) {
      for (std::size_t j = 0; j < versions.size(); j += 2) {
        const auto& [base, base_model] = versions[i];
        const auto& [self, self_model] = versions[j];
        const DiffResult diff = run_diff(base, self);
        check_diff(diff, base_model, self_model);
        check_applies(diff, base_model, self_model);
      }
    }
  }
  leaks.verify();
}

TEST_CASE("hamt diff: a map and its clone, or a single write, report exactly that") {
  TestMap<NarrowHasher> map;
  for (int i = 0; i < 1000; ++i) map.insert(key_name(i), make_val(i));
  const TestMap<NarrowHasher> before = map;
  DiffResult same = run_diff(before, map);
  CHECK((same.added.empty() && same.removed.empty() && same.both.empty()));

  map.insert(key_name(5), make_val(-5));
  map.insert("fresh", make_val(1));
  map.remove(key_name(9));
  const DiffResult diff = run_diff(before, map);
  CHECK(diff.added == std::map<std::string, int>{{"fresh", 1}});
  CHECK(diff.removed == std::map<std::string, int>{{key_name(9), 9}});
  CHECK(diff.both == std::map<std::string, std::pair<int, int>>{{key_name(5), {5, -5}}});

  // Insert then remove of the same key restores the old shape: nothing to report.
  TestMap<NarrowHasher> bounced = before;
  bounced.insert("transient", make_val(0));
  bounced.remove(std::string("transient"));
  CHECK(bounced.structure() == before.structure());
  const DiffResult none = run_diff(before, bounced);
  CHECK((none.added.empty() && none.removed.empty() && none.both.empty()));
}

TEST_CASE("hamt diff: maps hashed with different seeds fall back to lookups and agree") {
  LeakCheck leaks;
  {
    std::mt19937_64 rng(31);
    TestMap<SeededHasher> base{SeededHasher{1}};
    TestMap<SeededHasher> self{SeededHasher{2}};
    Model base_model, self_model;
    for (int i = 0; i < 400; ++i) {
      const std::string key = key_name(rng() % 300);
      const int number = static_cast<int>(rng() % 3);
      if (rng() % 2) {
        base.insert(key, make_val(number));
        base_model[key] = number;
      } else {
        self.insert(key, make_val(number));
        self_model[key] = number;
      }
    }
    const DiffResult diff = run_diff(base, self);
    check_diff(diff, base_model, self_model);
    check_applies(diff, base_model, self_model);
    const DiffResult reverse = run_diff(self, base);
    CHECK(reverse.added == diff.removed);
    CHECK(reverse.removed == diff.added);
    CHECK(reverse.both.size() == diff.both.size());
  }
  leaks.verify();
}

namespace {

// Counts key comparisons: a structural diff compares only keys on changed paths.
struct CountingEqual {
  static inline long calls = 0;
  bool operator()(const std::string& a, const std::string& b) const noexcept {
    ++calls;
    return a == b;
  }
};

}  // namespace

TEST_CASE("hamt diff: cost follows the change, not the size of the map") {
  using Map = tallowmere::PersistentMap<std::string, Val, tallowmere::SipHasher, CountingEqual>;
  Map map;
  for (int i = 0; i < 20000; ++i) map.insert(key_name(i), make_val(i));
  const Map before = map;
  map.insert(key_name(123), make_val(-1));
  // Every node on the changed path may compare each of its (at most 32) entries.
  constexpr long kPathBound = 32 * static_cast<long>(tallowmere::hamt_detail::kMaxDepth);
  int changes = 0;
  auto count_change = [&](const auto&...) { ++changes; };

  CountingEqual::calls = 0;
  Map::diff(before, before, count_change, count_change, count_change);
  CHECK(CountingEqual::calls == 0);
  CHECK(changes == 0);

  Map::diff(before, map, count_change, count_change, count_change);
  CHECK(changes == 1);
  CHECK(CountingEqual::calls <= kPathBound);

  // A re-created map with the same keys shares nothing but still diffs by walking
  // both tries in step: no key is looked up from the root.
  Map rebuilt;
  for (int i = 0; i < 20000; ++i) rebuilt.insert(key_name(i), *before.find(key_name(i)));
  CountingEqual::calls = 0;
  changes = 0;
  Map::diff(before, rebuilt, count_change, count_change, count_change);
  CHECK(changes == 0);
  CHECK(CountingEqual::calls == 20000);
}
