// The store core against std::map models: single-key, batch and namespace writes,
// reads, scans, the history bound, snapshots kept and re-checked after later writes,
// restore, diff; and, with -DTALLOWMERE_FAULT_INJECTION=ON, an allocation failed at
// random steps, after which the store still agrees with the model. (Ids, parents and
// restores across stores are pinned by the Python snapshot tests.)
#include <doctest/doctest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.h"
#include "store/snapshot_diff.h"
#include "test_store_support.h"

namespace {

// Names chosen to share prefixes and to land several namespaces in one shard.
const std::vector<std::string> kNames = {"", "a", "ab", "abc", "b", "default", "users", "t1", "t2",
                                         "t10", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80", "k", "k1", "k2"};

using PairSet = std::set<std::pair<std::string, std::string>>;
using Batch = std::vector<std::pair<std::pair<std::string, std::string>, std::string>>;

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

// Random names from kNames and short values, one generator per seed.
struct Draw {
  explicit Draw(std::uint32_t seed) : random(seed) {}
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(random() % n); }
  const std::string& name() { return kNames[pick(kNames.size())]; }  // lives as long as the test: views may keep it
  std::string bytes() { return std::string(1 + pick(12), static_cast<char>('a' + pick(3))); }
  std::mt19937 random;
};

// Removes the pairs of namespace `ns` from the model; returns how many there were.
std::uint64_t erase_namespace(Model& model, const std::string& ns) {
  std::uint64_t count = 0;
  for (auto it = model.lower_bound({ns, ""}); it != model.end() && it->first.first == ns; ++count) it = model.erase(it);
  return count;
}

// What scan() should return: the model's keys of `ns` in byte order, filtered,
// then reversed and cut to `limit`.
std::vector<std::string> expected_scan(const Model& model, const std::string& ns, const ScanRange& range,
                                       const std::function<bool(const std::string&)>& keep) {
  std::vector<std::string> keys;
  for (const auto& [pair, bytes] : model) {
    const std::string& key = pair.second;
    if (pair.first != ns || key.compare(0, range.prefix.value_or("").size(), range.prefix.value_or("")) != 0) {
      continue;
    }
    if (range.start && std::string_view(key) < *range.start) continue;
    if (range.stop && !(std::string_view(key) < *range.stop)) continue;
    if (keep(bytes)) keys.push_back(key);
  }
  if (range.reverse) std::reverse(keys.begin(), keys.end());
  if (range.limit && *range.limit < keys.size()) keys.resize(*range.limit);
  return keys;
}

std::vector<std::uint64_t> ids_of(const std::vector<SnapshotRef>& records) {
  std::vector<std::uint64_t> ids;
  for (const SnapshotRef& record : records) ids.push_back(record->id);
  return ids;
}

// Whether `seen` is `model` with some prefix of `batch` written in the order set_many
// writes: shard by shard ascending, input order within a shard (an empty batch: `model`).
bool is_model_and_batch_prefix(const Model& seen, Model model, Batch batch) {
  std::stable_sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) {
    return shard_index(a.first.first) < shard_index(b.first.first);
  });
  if (seen == model) return true;
  for (const auto& [pair, bytes] : batch) {
    model[pair] = bytes;
    if (seen == model) return true;
  }
  return false;
}

// One namespace per shard: writing them all takes every shard's write lock.
std::vector<std::string> one_name_per_shard() {
  std::vector<std::string> names(kShardCount);
  for (std::size_t i = 0, found = 0; found < kShardCount; ++i) {
    std::string name = "probe" + std::to_string(i);
    if (names[shard_index(name)].empty()) names[shard_index(name)] = name, ++found;
  }
  return names;
}

enum Op { kSet, kRemove, kBatch, kGetMany, kSnapshot, kRestoreOrClear, kAdd, kDeleteNamespace, kCopy, kScan, kRead, kOps };
constexpr Op kOpDraws[] = {kSet, kSet,  kRemove, kBatch, kGetMany, kSnapshot, kRestoreOrClear,
                           kAdd, kDeleteNamespace, kCopy, kScan, kRead, kRead, kRead};

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST_CASE("store: shard_index matches the fixed reference placement") {
  const std::pair<std::string, std::size_t> cases[] = {{"", 15}, {"a", 3}, {"abc", 13}, {"default", 1}, {"users", 4}};
  for (const auto& [name, shard] : cases) CHECK_MESSAGE(shard_index(name) == shard, name);
  const std::string long_name(1000, 'n');  // past the on-stack buffer
  CHECK(shard_index(long_name) == shard_index(std::string(long_name)));
  CHECK(shard_index(long_name) < kShardCount);
}

TEST_CASE("store: random operations agree with a model, snapshots never change, failed allocations change nothing") {
  const std::vector<std::string> probes = one_name_per_shard();
  std::array<int, kOps> failures{};  // injected failures, by operation
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    CAPTURE(seed);
    Draw draw(seed);
    std::mt19937 injector(seed);  // apart from `draw`, so every build walks the same steps
    const std::optional<std::uint64_t> max_history = seed % 2 ? std::optional<std::uint64_t>(3) : std::nullopt;
    auto store = std::make_unique<Store>(max_history);
    Model model;
    std::vector<std::pair<SnapshotRef, Model>> kept;
    std::vector<std::uint64_t> taken;  // ids of every snapshot, oldest first
    auto retained_history = [&] {  // the ids history() must give
      const std::size_t retained = std::min<std::size_t>(taken.size(), max_history.value_or(taken.size()));
      return std::vector<std::uint64_t>(taken.end() - static_cast<std::ptrdiff_t>(retained), taken.end());
    };
    Op op = kOps;
    Batch batch;  // a set_many's items in input order: a failure may leave a prefix of them written
    // Store calls come first in each step and the model follows, so a step that throws
    // leaves the model as it was and can run again from the same draws.
    auto step = [&] {
      op = kOpDraws[draw.pick(std::size(kOpDraws))];
      batch.clear();
      switch (op) {
        case kSet: {
          auto ns = draw.name(), key = draw.name(), value = draw.bytes();
          store->set(ns, key, value_of(value));
          model[{ns, key}] = value;
          break;
        }
        case kRemove: {
          auto ns = draw.name(), key = draw.name();
          const bool removed = store->delete_key(ns, key);
          CHECK(removed == (model.erase({ns, key}) == 1));
          break;
        }
        case kBatch: {  // pairs repeat within a batch: the last write wins and alone is counted
          Batch written;
          std::vector<WriteItem> items;
          for (std::size_t n = draw.pick(20); n > 0; --n) {
            auto ns = draw.name(), key = draw.name(), value = draw.bytes();
            written.push_back({{ns, key}, value});
            items.push_back({ns, key, value_of(value)});
          }
          if (draw.pick(2)) {
            batch = written;
            store->set_many(std::move(items));
          } else {  // all or nothing
            store->set_many_atomic(views_of(items));
          }
          for (const auto& [pair, bytes] : written) model[pair] = bytes;
          break;
        }
        case kGetMany: {
          std::vector<std::pair<std::string, std::string>> names;
          for (std::size_t n = draw.pick(20); n > 0; --n) names.emplace_back(draw.name(), draw.name());
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
        case kSnapshot: {
          kept.emplace_back(store->snapshot(), model);
          taken.push_back(kept.back().first->id);
          if (kept.size() > 6) kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(draw.pick(kept.size())));
          CHECK(ids_of(store->history()) == retained_history());
          break;
        }
        case kRestoreOrClear:
          if (!kept.empty() && draw.pick(3) == 0) {
            const auto& [record, frozen] = kept[draw.pick(kept.size())];
            store->restore(*record);
            model = frozen;
          } else if (draw.pick(8) == 0) {
            store->clear();
            model.clear();
          }
          break;
        case kAdd: {  // one pair, or many: pairs repeat within a batch, and the first of them wins
          std::vector<WriteItem> items;
          Model added;
          for (std::size_t n = draw.pick(2) ? 1 : draw.pick(8); n > 0; --n) {
            auto ns = draw.name(), key = draw.name(), value = draw.bytes();
            if (!model.count({ns, key})) added.emplace(std::make_pair(ns, key), value);
            items.push_back({ns, key, value_of(value)});
          }
          std::uint64_t written = 0;  // the store is called outside CHECK, which would catch its failure
          if (items.size() == 1) {
            written = store->add(items[0].namespace_name, items[0].key, std::move(items[0].value)) ? 1 : 0;
          } else {
            written = store->add_many(views_of(items));
          }
          CHECK(written == added.size());
          model.insert(added.begin(), added.end());
          break;
        }
        case kDeleteNamespace: {
          auto ns = draw.name();
          const std::uint64_t count = store->delete_namespace(ns);
          CHECK(count == erase_namespace(model, ns));
          CHECK_FALSE(store->contains_namespace(ns));
          break;
        }
        case kCopy: {  // a copy shares the map, so later writes to either side must not show in the other
          auto source = draw.name(), target = draw.name();
          const std::uint64_t count = store->copy_namespace(source, target);
          Model copied;
          for (auto it = model.lower_bound({source, ""}); it != model.end() && it->first.first == source; ++it) {
            copied[{target, it->first.second}] = it->second;
          }
          if (source != target) {
            erase_namespace(model, target);
            model.insert(copied.begin(), copied.end());
          }
          CHECK(count == copied.size());
          break;
        }
        case kScan: {
          ScanRange range;
          if (draw.pick(2)) range.prefix = draw.name();
          if (draw.pick(2)) range.start = draw.name();
          if (draw.pick(2)) range.stop = draw.name();
          range.reverse = draw.pick(2) == 1;
          if (draw.pick(2)) range.limit = draw.pick(6);
          std::function<bool(const std::string&)> keep = [](const std::string&) { return true; };
          if (draw.pick(2)) {
            range.filter = [](const EncodedValue& value) { return value.size() % 2 == 0; };
            keep = [](const std::string& value) { return value.size() % 2 == 0; };
          }
          const std::string ns = draw.name();
          const std::vector<ScanEntry> got = store->scan(ns, range);
          const std::vector<std::string> want = expected_scan(model, ns, range, keep);
          REQUIRE(got.size() == want.size());
          for (std::size_t i = 0; i < got.size(); ++i) {
            CHECK(got[i].key == want[i]);
            CHECK(got[i].value.bytes() == model[{ns, want[i]}]);
          }
          break;
        }
        default: {
          auto ns = draw.name(), key = draw.name(), prefix = draw.name();
          const EncodedValue value = store->get(ns, key);
          const bool contains = store->contains(ns, key), has_namespace = store->contains_namespace(ns);
          const std::optional<std::string> greatest = store->max_key(ns);
          const std::vector<std::string> keys = store->keys(ns, prefix), names = store->namespaces(prefix);
          auto it = model.find({ns, key});
          CHECK(bool(value) == (it != model.end()));
          if (value) CHECK(value.bytes() == it->second);
          CHECK(contains == (it != model.end()));
          std::set<std::string> want_keys, want_names;
          for (const auto& [pair, bytes] : model) {
            if (pair.first == ns && pair.second.starts_with(prefix)) want_keys.insert(pair.second);
            if (pair.first.starts_with(prefix)) want_names.insert(pair.first);
          }
          CHECK(sorted(keys) == std::vector<std::string>(want_keys.begin(), want_keys.end()));
          CHECK(sorted(names) == std::vector<std::string>(want_names.begin(), want_names.end()));
          auto first = model.lower_bound({ns, std::string()});
          const bool present = first != model.end() && first->first.first == ns;
          CHECK(has_namespace == present);
          CHECK((store->shard_map(shard_index(ns)).find(ns) != nullptr) == present);  // no empty key maps kept
          std::optional<std::string> want_greatest;
          for (; first != model.end() && first->first.first == ns; ++first) want_greatest = first->first.second;
          CHECK(greatest == want_greatest);
        }
      }
    };
    for (int i = 0; i < 800; ++i) {
      if (!fault::kEnabled || injector() % 4 != 0) {
        step();
        continue;
      }
      const Draw replay = draw;
      fault::arm(1 + injector() % 8);
      try {
        step();
        fault::disarm();
        continue;
      } catch (const std::bad_alloc&) {
        fault::disarm();
      }
      INFO("step ", i, ", operation ", static_cast<int>(op));
      ++failures[op];
      // Nothing changed (a set_many may stop between items), the counters agree with
      // the maps, the history holds what it did, and another thread can take every lock.
      CHECK(ids_of(store->history()) == retained_history());
      const SnapshotRef now = store->snapshot();
      taken.push_back(now->id);
      const Model seen = contents(*now);
      CHECK(is_model_and_batch_prefix(seen, model, batch));
      CHECK(now->size_bytes == total_bytes(seen));
      CHECK(store->entry_count() == seen.size());
      std::thread([&] {
        for (const std::string& name : probes) store->delete_key(name, "absent");
      }).join();
      draw = replay;
      step();  // again, from the same draws, with nothing injected
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
  if (fault::kEnabled) {  // every operation that allocates was cut short somewhere
    for (Op op : {kSet, kBatch, kGetMany, kSnapshot, kAdd, kCopy, kScan, kRead}) {
      CAPTURE(static_cast<int>(op));
      CHECK(failures[op] > 0);
    }
  }
}

TEST_CASE("name equality agrees with byte equality at every length and every differing byte") {
  const tallowmere::NameEqual equal;
  for (std::size_t n = 0; n <= 48; ++n) {
    std::string a(n, '\0');
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + (i * 7) % 26);
    std::string b = a;
    CHECK(equal(a, b));
    for (std::size_t i = 0; i < n; ++i) {
      b[i] = static_cast<char>(b[i] ^ 0x80);  // the high bit too: bytes compare unsigned
      CHECK_FALSE(equal(a, b));
      b[i] = a[i];
    }
    CHECK_FALSE(equal(a, a + "x"));
    CHECK_FALSE(equal(a + "x", a));
  }
}

TEST_CASE("small value blocks are reused whole, whichever thread frees them") {
  // Values of every size around the kept classes, freed on another thread in
  // reverse order, then made again from the blocks that thread kept or returned.
  std::vector<tallowmere::EncodedValue> values;
  std::vector<std::string> texts;
  for (std::size_t n = 0; n <= 100; ++n) {
    texts.push_back(std::string(n, static_cast<char>('A' + n % 26)));
    values.push_back(tallowmere::EncodedValue::copy_of(texts.back().data(), n));
  }
  std::thread([&] {
    while (!values.empty()) values.pop_back();
    for (std::size_t round = 0; round < 2; ++round) {
      for (const std::string& text : texts) values.push_back(tallowmere::EncodedValue::copy_of(text.data(), text.size()));
      for (std::size_t n = 0; n < texts.size(); ++n) CHECK(values[n].bytes() == texts[n]);
      if (round == 0) values.clear();
    }
  }).join();
  for (std::size_t n = 0; n < texts.size(); ++n) CHECK(values[n].bytes() == texts[n]);
  values.clear();  // freed on this thread after the other one ended
}

// A journal whose syncs the test scripts: positions up to `synced` are durable, a wait
// for a later one fails once `failing` is set, and one for a synced position is held
// while `hold` is (a writer that has not yet dropped its undo copies).
struct ScriptedJournal final : Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t last = 0, synced = 0;
  bool hold = true, failing = false;

  JournalRecord prepare(std::span<const Operation>) override { return {}; }
  std::uint64_t append(JournalRecord&) override {
    const std::lock_guard guard(mutex);
    changed.notify_all();
    return ++last;
  }
  void wait_durable(std::uint64_t position) override {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return position <= synced ? !hold : failing; });
    if (position > synced) throw JournalError(JournalError::Reason::kIo, EIO, "sync failed", "scripted");
  }
  bool keeps_undo() const noexcept override { return true; }
  std::uint64_t durable_position() const noexcept override { return synced; }  // read after a wait_durable
  void check_writable() override {}
  JournalCursor cursor() const noexcept override { return {}; }
  void detach() noexcept override {}
  void lock_for_fork() noexcept override {}
  void unlock_after_fork() noexcept override {}
  void renew_in_child() noexcept override {}
};

TEST_CASE("store: a failed sync puts back exactly the changes it did not sync") {
  Store store(0);
  auto journal = std::make_shared<ScriptedJournal>();
  store.attach_journal(journal);
  // The first writer's change is synced, but it has not yet dropped its undo copy
  // when the second writer's sync fails (one namespace: one shard, one undo list).
  std::thread first([&] { store.set("ns", "synced", value_of("1")); });
  std::unique_lock lock(journal->mutex);
  journal->changed.wait(lock, [&] { return journal->last == 1; });
  journal->synced = 1;
  journal->failing = true;
  lock.unlock();
  CHECK_THROWS_AS(store.set("ns", "lost", value_of("2")), JournalError);
  CHECK(contents(store) == Model{{{"ns", "synced"}, "1"}});
  lock.lock();
  journal->hold = false;
  journal->changed.notify_all();
  lock.unlock();
  first.join();
}
