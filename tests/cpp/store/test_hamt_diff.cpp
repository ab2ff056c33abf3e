// Diff between two versions of the map: against models, across unrelated maps,
// and at a cost that follows the change rather than the map.
#include "hamt_test_support.h"

using namespace hamt_test;

namespace {

struct DiffResult {
  std::map<std::string, int> added, removed;  // key -> value in self / in base
  std::map<std::string, std::pair<int, int>> both;
  bool empty() const { return added.empty() && removed.empty() && both.empty(); }
};

// Each side's reports must come in that map's iteration order, as if it had been walked.
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
  std::vector<std::string> self_order, base_order;
  Map::diff(
      base, self,
      [&](const std::string& key, const Val& value) {
        REQUIRE_MESSAGE(out.added.emplace(key, value->number).second, "added twice: " << key);
        self_order.push_back(key);
      },
      [&](const std::string& key, const Val& value) {
        REQUIRE_MESSAGE(out.removed.emplace(key, value->number).second, "removed twice: " << key);
        base_order.push_back(key);
      },
      [&](const std::string& key, const Val& before, const Val& after) {
        REQUIRE_MESSAGE(before.get() != after.get(), "reported the very same value for " << key);
        REQUIRE_MESSAGE(out.both.emplace(key, std::pair(before->number, after->number)).second,
                        "changed twice: " << key);
        self_order.push_back(key);
      });
  CHECK(follows_iteration_order(self_order, self));
  CHECK(follows_iteration_order(base_order, base));
  return out;
}

// Every reported key is on the right side of the two model states, and applying the
// diff to base gives self: together these pin the diff down (a spurious `both` for an
// unchanged value that was stored again is allowed).
void check_diff(const DiffResult& diff, Model base, const Model& self) {
  for (const auto& [key, number] : diff.added) CHECK((base.count(key) == 0 && self.at(key) == number));
  for (const auto& [key, number] : diff.removed) CHECK((self.count(key) == 0 && base.at(key) == number));
  for (const auto& [key, numbers] : diff.both) CHECK((base.at(key) == numbers.first && self.at(key) == numbers.second));
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
        check_diff(run_diff(versions[i].first, versions[j].first), versions[i].second, versions[j].second);
      }
    }
  }
  leaks.verify();
}

TEST_CASE("hamt diff: maps hashed with different seeds fall back to lookups and agree") {
  LeakCheck leaks;
  {
    std::mt19937_64 rng(31);
    TestMap<SeededHasher> maps[2] = {TestMap<SeededHasher>{SeededHasher{1}}, TestMap<SeededHasher>{SeededHasher{2}}};
    Model models[2];
    for (int i = 0; i < 400; ++i) {
      const std::string key = key_name(rng() % 300);
      const int number = static_cast<int>(rng() % 3);
      const int side = rng() % 2 ? 0 : 1;
      maps[side].insert(key, make_val(number));
      models[side][key] = number;
    }
    const DiffResult diff = run_diff(maps[0], maps[1]);
    check_diff(diff, models[0], models[1]);
    const DiffResult reverse = run_diff(maps[1], maps[0]);
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

TEST_CASE("hamt diff: a few writes report exactly those, at a cost that follows the change") {
  using Map = tallowmere::PersistentMap<std::string, Val, tallowmere::SipHasher, CountingEqual>;
  LeakCheck leaks;
  {
    Map map;
    for (int i = 0; i < 20000; ++i) map.insert(key_name(i), make_val(i));
    const Map before = map;
    // Every node on a changed path may compare each of its (at most 32) entries.
    constexpr long kPathBound = 32 * static_cast<long>(tallowmere::hamt_detail::kMaxDepth);
    CountingEqual::calls = 0;
    CHECK(run_diff(before, map).empty());
    CHECK(CountingEqual::calls == 0);

    map.insert(key_name(5), make_val(-5));
    map.insert("fresh", make_val(1));
    map.remove(key_name(9));
    CountingEqual::calls = 0;
    const DiffResult diff = run_diff(before, map);
    CHECK(CountingEqual::calls <= 3 * kPathBound);
    CHECK(diff.added == std::map<std::string, int>{{"fresh", 1}});
    CHECK(diff.removed == std::map<std::string, int>{{key_name(9), 9}});
    CHECK(diff.both == std::map<std::string, std::pair<int, int>>{{key_name(5), {5, -5}}});

    // Insert then remove of one key restores the old shape: nothing to report.
    Map bounced = before;
    bounced.insert("transient", make_val(0));
    bounced.remove(std::string("transient"));
    CHECK(shape(bounced) == shape(before));
    CHECK(run_diff(before, bounced).empty());

    // A re-created map with the same keys and values shares nothing but still diffs by
    // walking both tries in step: no key is looked up from the root.
    Map rebuilt;
    for (int i = 0; i < 20000; ++i) rebuilt.insert(key_name(i), *before.find(key_name(i)));
    CountingEqual::calls = 0;
    CHECK(run_diff(before, rebuilt).empty());
    CHECK(CountingEqual::calls == 20000);
  }
  leaks.verify();
}
