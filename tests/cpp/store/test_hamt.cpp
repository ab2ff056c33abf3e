// The persistent map against a std::unordered_map model: contents, canonical shape
// whatever the history, and what a write to a shared map copies. With
// -DTALLOWMERE_FAULT_INJECTION=ON the model walk also fails an allocation or a value
// copy at random writes, after which the map, its clones and the live counts are as before.
#include <algorithm>
#include <set>

#include "hamt_test_support.h"

using namespace hamt_test;

TEST_CASE("siphash13: every length up to two blocks hashes every byte and the length") {
  // Changing any byte, or appending a zero byte, changes the hash: catches a
  // tail loop that skips bytes or a length that is not mixed in.
  std::string bytes;
  std::set<std::uint64_t> seen;
  for (int len = 0; len <= 17; ++len, bytes.push_back('\0')) {
    const std::uint64_t whole = tallowmere::siphash13(1, 2, bytes.data(), bytes.size());
    CHECK(seen.insert(whole).second);
    for (int i = 0; i < len; ++i) {
      std::string flipped = bytes;
      flipped[i] ^= 0x01;
      CHECK(tallowmere::siphash13(1, 2, flipped.data(), flipped.size()) != whole);
    }
  }
  CHECK(tallowmere::process_hash_seed(0) == tallowmere::process_hash_seed(0));
  CHECK(tallowmere::process_hash_seed(0) != tallowmere::process_hash_seed(1));
}

namespace {

// Random writes, reads, clones and drops against the model; every kept clone is
// re-checked against the model copy taken with it, which catches any in-place edit
// of a shared node or a move out of a shared slot.
template <class Hasher>
void run_model(std::uint64_t seed, int steps, int key_space) {
  CAPTURE(seed);
  std::mt19937_64 rng(seed), injector(seed);  // apart, so every build walks the same steps
  LeakCheck leaks;
  int failures = 0;
  {
    TestMap<Hasher> map{Hasher{}};
    Model model;
    std::vector<std::pair<TestMap<Hasher>, Model>> clones;
    for (int step = 0; step < steps; ++step) {
      CAPTURE(step);
      const std::string key = key_name(rng() % key_space);
      const int number = static_cast<int>(rng() % 1000);
      const unsigned roll = rng() % 100;
      const auto it = model.find(key);
      const bool present = it != model.end();
      auto write_or_read = [&] {  // the map first, the model after: a failed write leaves the model as it was
        if (roll < 45) {
          auto replaced = map.insert(key, make_val(number));
          REQUIRE(replaced.has_value() == present);
          if (replaced) REQUIRE((*replaced)->number == it->second);
          model[key] = number;
        } else if (roll < 70) {
          auto removed = map.remove(key);
          REQUIRE(removed.has_value() == present);
          if (removed) {
            REQUIRE((removed->first == key && removed->second->number == it->second));
            model.erase(it);
          }
        } else if (roll < 80) {
          const Val* found = map.find(key);
          REQUIRE((found != nullptr) == present);
          if (found) REQUIRE((*found)->number == it->second);
        } else {
          Val* slot = map.find_for_update(key);
          REQUIRE((slot != nullptr) == present);
          if (slot) {
            REQUIRE((*slot)->number == it->second);
            *slot = make_val(number);
            it->second = number;
          }
        }
      };
      if (roll < 90 && (!tallowmere::fault::kEnabled || injector() % 4 != 0)) {
        write_or_read();
      } else if (roll < 90) {  // the n-th allocation or value copy fails: nothing may change
        const std::string shape_before = shape(map);
        const auto nodes = TestMap<>::live_nodes();
        const long payloads = Payload::live;
        tallowmere::fault::arm(1 + injector() % 6);
        try {
          write_or_read();
        } catch (const std::bad_alloc&) {
          tallowmere::fault::disarm();
          ++failures;
          map.validate();
          REQUIRE(shape(map) == shape_before);
          REQUIRE(contents(map) == model);
          REQUIRE(TestMap<>::live_nodes() == nodes);
          REQUIRE(Payload::live == payloads);
          write_or_read();
        }
        tallowmere::fault::disarm();
      } else if (roll < 96) {
        if (clones.size() < 12) {
          clones.emplace_back(map, model);
        } else {
          clones[rng() % clones.size()] = {map, model};
        }
      } else if (!clones.empty()) {
        clones.erase(clones.begin() + static_cast<long>(rng() % clones.size()));
      }
      REQUIRE(map.size() == model.size());
      if (step % 128 == 0) check_equals_model(map, model);
      if (step % 700 == 0) {
        for (const auto& [clone, frozen] : clones) check_equals_model(clone, frozen);
      }
    }
    check_equals_model(map, model);
    for (const auto& [clone, frozen] : clones) check_equals_model(clone, frozen);
    // Drain to empty: the root must go back to null and every node must be freed.
    for (auto it = model.begin(); it != model.end(); it = model.erase(it)) REQUIRE(map.remove(it->first));
    CHECK((map.empty() && map.begin() == map.end()));
    for (const auto& [clone, frozen] : clones) check_equals_model(clone, frozen);
  }
  leaks.verify();
  if (tallowmere::fault::kEnabled) CHECK(failures > 0);
}

// Applies one random sequence either with a clone held across every write (every
// write copies its path) or with none (every write edits in place).
template <class Hasher>
TestMap<Hasher> replay(std::uint64_t seed, int key_space, bool copy_every_write) {
  std::mt19937_64 rng(seed);
  TestMap<Hasher> map{Hasher{}}, previous{Hasher{}};
  for (int step = 0; step < 1500; ++step) {
    if (copy_every_write) previous = map;
    const std::string key = key_name(rng() % key_space);
    if (rng() % 3 == 0) {
      map.remove(key);
    } else {
      map.insert(key, make_val(step));
    }
  }
  return map;
}

}  // namespace

// The degenerate hasher puts ~1/6 of all keys into each of a few collision nodes at
// depth 13; contents() checks that iteration yields each key exactly once.
TEST_CASE_TEMPLATE("hamt: matches a std::unordered_map model, and clones keep their contents", Hasher,
                   tallowmere::SipHasher, NarrowHasher, DegenerateHasher) {
  for (std::uint64_t seed : {1u, 2u}) {
    run_model<Hasher>(seed, 3000, 40);    // small key space: dense overwrites and removals
    run_model<Hasher>(seed, 3000, 2000);  // large key space: growth, deep tries
  }
}

TEST_CASE_TEMPLATE("hamt: removal keeps the trie canonical whatever the history", Hasher, tallowmere::SipHasher,
                   NarrowHasher, DegenerateHasher) {
  LeakCheck leaks;
  for (std::uint64_t seed : {11u, 12u, 13u, 14u}) {
    for (int key_space : {8, 60, 600}) {
      INFO("seed ", seed, ", key space ", key_space);
      const auto copied = replay<Hasher>(seed, key_space, true);
      const auto in_place = replay<Hasher>(seed, key_space, false);
      copied.validate();
      in_place.validate();
      CHECK(contents(copied) == contents(in_place));
      CHECK(shape(copied) == shape(in_place));

      // A fresh build of the same keys in shuffled order has the same shape.
      std::vector<std::string> keys;
      in_place.for_each([&](const std::string& key, const Val&) { keys.push_back(key); });
      std::shuffle(keys.begin(), keys.end(), std::mt19937_64(seed));
      TestMap<Hasher> fresh{Hasher{}};
      for (const std::string& key : keys) fresh.insert(key, make_val(0));
      CHECK(shape(fresh) == shape(in_place));

      // Removing every key but one in random order leaves a single-entry root.
      TestMap<Hasher> shrinking = fresh;
      for (std::size_t i = 1; i < keys.size(); ++i) {
        REQUIRE(shrinking.remove(keys[i]));
        if (i % 16 == 0) shrinking.validate();
      }
      if (!keys.empty()) {
        TestMap<Hasher> single{Hasher{}};
        single.insert(keys[0], make_val(0));
        CHECK(shape(shrinking) == shape(single));
      }
    }
  }
  leaks.verify();
}

TEST_CASE("hamt: missing keys and unchanged values copy nothing on a shared map") {
  LeakCheck leaks;
  {
    TestMap<NarrowHasher> map;
    std::vector<Val> values;
    for (int i = 0; i < 500; ++i) map.insert(key_name(i), values.emplace_back(make_val(i)));
    const TestMap<NarrowHasher> snapshot = map;
    const auto nodes = TestMap<>::live_nodes();

    CHECK_FALSE(map.remove("absent"));
    CHECK(map.find_for_update(std::string("absent")) == nullptr);
    auto replaced = map.insert(key_name(7), values[7]);  // the very same stored value
    REQUIRE(replaced);
    CHECK(replaced->get() == values[7].get());
    CHECK(map.same(snapshot));
    CHECK(TestMap<>::live_nodes() == nodes);

    // A real edit copies only the path (at most one node per level); the snapshot keeps the old value.
    Val* slot = map.find_for_update(key_name(7));
    REQUIRE(slot != nullptr);
    CHECK_FALSE(map.same(snapshot));
    CHECK(TestMap<>::live_nodes() - nodes <= static_cast<long>(tallowmere::hamt_detail::kMaxDepth));
    *slot = make_val(-7);
    CHECK((*snapshot.find(key_name(7)))->number == 7);
    CHECK((*map.find(key_name(7)))->number == -7);

    // Once the path is private, further writes along it allocate nothing.
    const auto after_copy = TestMap<>::live_nodes();
    map.insert(key_name(7), make_val(70));
    *map.find_for_update(key_name(7)) = make_val(71);
    CHECK(TestMap<>::live_nodes() == after_copy);
    CHECK((*snapshot.find(key_name(7)))->number == 7);
  }
  leaks.verify();
}

TEST_CASE("hamt: empty and single-entry maps") {
  LeakCheck leaks;
  {
    TestMap<> empty, other;
    CHECK(empty.find_for_update(std::string("x")) == nullptr);
    CHECK_FALSE(empty.same(other));  // empty maps share no structure
    CHECK(TestMap<>::live_nodes() == leaks.nodes_before);

    TestMap<> one;
    one.insert("", make_val(1));  // the empty string is a key like any other
    TestMap<> clone = one;
    CHECK(clone.same(one));
    auto removed = one.remove(std::string(""));
    REQUIRE(removed);
    CHECK(removed->second->number == 1);
    CHECK(one.empty());
    one.validate();  // no empty root node is left behind
    CHECK(contents(clone) == Model{{"", 1}});

    // Moves leave an empty, reusable map; self-assignment keeps the contents.
    TestMap<> moved = std::move(clone);
    CHECK(clone.empty());
    clone.insert("again", make_val(2));
    moved = moved;
    CHECK(contents(moved) == Model{{"", 1}});
  }
  leaks.verify();
}
