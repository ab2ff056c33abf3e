// The store core against std::map models: single-key and batch writes, queries,
// snapshots kept and re-checked after later writes, restore, diff. (Ids, parents,
// history bounds and restores across stores are pinned by the Python snapshot tests.)
#include <doctest/doctest.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

#include "store/snapshot_diff.h"
#include "test_store_support.h"

namespace {

// Names chosen to share prefixes and to land several namespaces in one shard.
const std::vector<std::string> kNames = {"", "a", "ab", "abc", "b", "default", "users", "t1", "t2",
                                         "t10", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80", "k", "k1", "k2"};

using PairSet = std::set<std::pair<std::string, std::string>>;

PairSet as_set(const std::vector<KeyPairView>& pairs) {
  PairSet out;
  for (const KeyPairView& pair : pairs) {
    CHECK(out.emplace(std::string(pair.namespace_name), std::string(pair.key)).second);  // no duplicates
  }
  return out;
}

// The diff that two models imply; values count as changed when their bytes differ
// (the model often stores equal bytes again in a new buffer).
void check_diff(const SnapshotData& base, const Model& base_model, const SnapshotData& self, const Model& self_model) {
  PairSet added, removed, changed;
  for (const auto& [pair, bytes] : self_model) {
    auto it = base_model.find(pair);
    if (it == base_model.end()) {
      added.insert(pair);
    } else if (it->second != bytes) {
      changed.insert(pair);
    }
  }
  for (const auto& entry : base_model) {
    if (!self_model.count(entry.first)) removed.insert(entry.first);
  }
  const SnapshotDiff diff = diff_snapshots(base, self);
  CHECK(as_set(diff.added) == added);
  CHECK(as_set(diff.removed) == removed);
  CHECK(as_set(diff.changed) == changed);
}

}  // namespace

TEST_CASE("store: shard_index matches the fixed reference placement") {
  const std::pair<std::string, std::size_t> cases[] = {{"", 15}, {"a", 3}, {"abc", 13}, {"default", 1}, {"users", 4}};
  for (const auto& [name, shard] : cases) {
    CAPTURE(name);
    CHECK(shard_index(name) == shard);
  }
  const std::string long_name(1000, 'n');  // past the on-stack buffer
  CHECK(shard_index(long_name) == shard_index(std::string(long_name)));
  CHECK(shard_index(long_name) < kShardCount);
}

TEST_CASE("store: random operations agree with a model, and snapshots never change") {
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    CAPTURE(seed);
    std::mt19937 random(seed);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    auto name = [&] { return kNames[pick(kNames.size())]; };
    auto bytes = [&] { return std::string(1 + pick(12), static_cast<char>('a' + pick(3))); };

    auto store = std::make_unique<Store>(seed % 2 ? std::optional<std::uint64_t>(3) : std::nullopt);
    Model model;
    std::vector<std::pair<SnapshotRef, Model>> kept;
    for (int step = 0; step < 400; ++step) {
      switch (pick(9)) {
        case 0:
        case 1: {
          auto ns = name(), key = name(), value = bytes();
          store->set(ns, key, value_of(value));
          model[{ns, key}] = value;
          break;
        }
        case 2: {
          auto ns = name(), key = name();
          CHECK(store->remove(ns, key) == (model.erase({ns, key}) == 1));
          break;
        }
        case 3: {  // pairs repeat within a batch: the last write wins and alone is counted
          std::vector<WriteItem> items;
          for (std::size_t n = pick(20); n > 0; --n) {
            auto ns = name(), key = name(), value = bytes();
            model[{ns, key}] = value;
            items.push_back({ns, key, value_of(value)});
          }
          store->set_many(std::move(items));
          break;
        }
        case 4: {
          std::vector<std::pair<std::string, std::string>> names;
          for (std::size_t n = pick(20); n > 0; --n) names.emplace_back(name(), name());
          std::vector<KeyPath> pairs;
          for (const auto& [ns, key] : names) pairs.push_back({ns, key});
          const std::vector<EncodedValue> got = store->get_many(pairs);
          REQUIRE(got.size() == pairs.size());
          for (std::size_t i = 0; i < pairs.size(); ++i) {
            auto it = model.find(names[i]);
            CHECK(bool(got[i]) == (it != model.end()));
            if (got[i]) CHECK(got[i].bytes() == it->second);
          }
          break;
        }
        case 5:
          kept.emplace_back(store->snapshot(), model);
          if (kept.size() > 6) kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(pick(kept.size())));
          break;
        case 6:
          if (!kept.empty() && pick(3) == 0) {
            const auto& [record, frozen] = kept[pick(kept.size())];
            store->restore(*record);
            model = frozen;
          } else if (pick(8) == 0) {
            store->clear();
            model.clear();
          }
          break;
        default: {
          auto ns = name(), key = name();
          auto it = model.find({ns, key});
          const EncodedValue value = store->get(ns, key);
          CHECK(bool(value) == (it != model.end()));
          if (value) CHECK(value.bytes() == it->second);
          CHECK(store->contains(ns, key) == (it != model.end()));
          auto first = model.lower_bound({ns, std::string()});
          CHECK(store->contains_namespace(ns) == (first != model.end() && first->first.first == ns));
        }
      }
    }
    // Whole-store agreement, including the counters a snapshot records.
    const SnapshotRef now = store->snapshot();
    CHECK(contents(*now) == model);
    CHECK(now->size_bytes == total_bytes(model));
    CHECK(now->entry_count() == model.size());
    CHECK(store->entry_count() == model.size());
    for (const auto& [record, frozen] : kept) {
      CHECK(contents(*record) == frozen);
      CHECK(record->size_bytes == total_bytes(frozen));
      check_diff(*record, frozen, *now, model);
      check_diff(*now, model, *record, frozen);
    }
    for (std::size_t i = 0; i + 1 < kept.size(); ++i) {
      check_diff(*kept[i].first, kept[i].second, *kept[i + 1].first, kept[i + 1].second);
    }
    // Snapshots outlive their store, and restore into another store in place of what it held.
    store.reset();
    for (const auto& [record, frozen] : kept) {
      Store target(1);
      target.set("elsewhere", "k", value_of("3"));
      target.restore(*record);
      CHECK(contents(target) == frozen);
      CHECK(target.entry_count() == frozen.size());
    }
  }
}

TEST_CASE("store: deleting a namespace's last key drops the namespace from its shard map") {
  Store store(0);
  store.set("ns", "a", value_of("1"));
  store.set("ns", "b", value_of("2"));
  CHECK(store.remove("ns", "a"));
  CHECK(store.shard_map(shard_index("ns")).find("ns") != nullptr);
  CHECK(store.remove("ns", "b"));
  CHECK(store.shard_map(shard_index("ns")).find("ns") == nullptr);
}
