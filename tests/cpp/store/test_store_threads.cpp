// Many threads on one store: writers, readers, snapshots and restores at once.
// Run under ThreadSanitizer (-DTALLOWMERE_SANITIZE=thread) as well as normally;
// the content checks hold in every build.
#include <doctest/doctest.h>

#include <atomic>
#include <barrier>
#include <set>
#include <thread>
#include <vector>

#include "store/snapshot_diff.h"
#include "test_store_support.h"

namespace {

constexpr int kNamespaces = 24;  // spread over the shards
constexpr int kKeysPerNamespace = 8;

std::string ns_name(int writer, int ns) { return "w" + std::to_string(writer) + "/" + std::to_string(ns); }

// A batch that gives every key of a writer the same generation; generations have
// different lengths so byte totals tell them apart.
std::vector<WriteItem> generation_batch(int writer, int generation) {
  std::vector<WriteItem> items;
  const std::string bytes = std::to_string(generation) + std::string(generation % 5, '.');
  for (int ns = 0; ns < kNamespaces; ++ns) {
    for (int key = 0; key < kKeysPerNamespace; ++key) items.push_back({ns_name(writer, ns), std::to_string(key), value_of(bytes)});
  }
  return items;
}

// Within one shard a batch is applied whole: all of a writer's keys in one shard
// carry one generation, and writer 1's atomic batches are seen whole across every
// shard. Also the recorded byte total matches the values held.
void check_snapshot(const SnapshotData& record) {
  CHECK(record.size_bytes == total_bytes(contents(record)));
  std::set<std::string> atomic_generations;
  for (const ShardMap& shard_map : record.shard_maps) {
    std::map<std::string, std::string> generation_of_writer;
    shard_map.for_each([&](const std::string& name, const KeyMap& keys) {
      if (name[0] != 'w') return;
      const std::string writer = name.substr(0, name.find('/'));
      keys.for_each([&](const std::string&, const EncodedValue& value) {
        auto [it, fresh] = generation_of_writer.emplace(writer, value.bytes());
        if (!fresh) CHECK(it->second == value.bytes());
        if (writer == "w1") atomic_generations.emplace(value.bytes());
      });
    });
  }
  CHECK(atomic_generations.size() <= 1);
}

}  // namespace

TEST_CASE("store: writers, readers and snapshots on many threads") {
  constexpr int kWriters = 3, kAdders = 2, kRounds = 80;
  Store store(4);
  std::barrier start(kWriters + kAdders + 3);
  std::atomic<bool> writers_done{false};
  std::atomic<int> add_wins{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([&, writer] {
      start.arrive_and_wait();
      const std::string own = "single" + std::to_string(writer);  // single-key churn on a namespace of its own
      for (int generation = 1; generation <= kRounds; ++generation) {
        if (writer == 1) {  // all shards locked at once
          std::vector<WriteItem> items = generation_batch(writer, generation);
          store.set_many_atomic(views_of(items));
        } else {  // one shard at a time
          store.set_many(generation_batch(writer, generation));
        }
        store.copy_namespace(ns_name(writer, 0), "fork" + std::to_string(writer));
        store.set(own, std::to_string(generation % 7), value_of(std::to_string(generation)));
        if (generation % 3 == 0) store.delete_key(own, std::to_string((generation + 3) % 7));
      }
    });
  }
  // Both adders first touch each namespace at about the same moment, adding one shared
  // pair (won exactly once) and setting one of their own: one that found the namespace
  // absent must not replace the key map the other has just made.
  for (int adder = 0; adder < kAdders; ++adder) {
    threads.emplace_back([&, adder] {
      start.arrive_and_wait();
      for (int i = 0; i < 300; ++i) {
        const std::string ns = "added" + std::to_string(i);
        if (store.add(ns, "shared", value_of("x"))) add_wins.fetch_add(1);
        store.set(ns, "own" + std::to_string(adder), value_of("y"));
      }
    });
  }
  auto until_writers_done = [&](auto&& body) {
    threads.emplace_back([&, body] {
      start.arrive_and_wait();
      while (!writers_done.load()) body();
    });
  };
  std::vector<std::pair<SnapshotRef, Model>> taken;
  until_writers_done([&] {  // snapshots, checked right away and again at the end
    SnapshotRef record = store.snapshot();
    check_snapshot(*record);
    if (taken.size() < 8) taken.emplace_back(record, contents(*record));
  });
  until_writers_done([&] {  // readers of every kind
    std::vector<KeyPath> pairs;
    std::vector<std::string> names;
    for (int ns = 0; ns < kNamespaces; ++ns) names.push_back(ns_name(0, ns));
    for (const std::string& name : names) pairs.push_back({name, "0"});
    for (const EncodedValue& value : store.get_many(pairs)) (void)value.size();
    store.keys(ns_name(1, 3), std::nullopt);
    store.max_key(ns_name(2, 5));
    store.namespaces("w1");
    store.scan("added7", ScanRange{});
    store.entry_count();
    store.history();
  });
  until_writers_done([&] {  // history churn and diffs between retained records
    auto history = store.history();
    if (history.size() >= 2) {
      auto diff = diff_snapshots(*history.front(), *history.back());
      const std::size_t reported = diff.added.size() + diff.removed.size() + diff.changed.size();
      CHECK(reported <= 4 * kNamespaces * kKeysPerNamespace + (1 + kAdders) * 300 + 400);
    }
    store.clear_history();
    std::this_thread::yield();
  });
  for (int writer = 0; writer < kWriters + kAdders; ++writer) threads[static_cast<std::size_t>(writer)].join();
  writers_done.store(true);
  for (std::size_t i = kWriters + kAdders; i < threads.size(); ++i) threads[i].join();
  for (const auto& [record, frozen] : taken) CHECK(contents(*record) == frozen);

  // Disjoint writers end at the union of their last batches.
  const Model final_state = contents(store);
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int ns = 0; ns < kNamespaces; ++ns) {
      for (int key = 0; key < kKeysPerNamespace; ++key) {
        CHECK(final_state.at({ns_name(writer, ns), std::to_string(key)}) == std::to_string(kRounds));
      }
    }
    CHECK(store.scan("fork" + std::to_string(writer), ScanRange{}).size() == kKeysPerNamespace);
  }
  CHECK(add_wins.load() == 300);
  for (int i = 0; i < 300; ++i) CHECK(store.keys("added" + std::to_string(i), std::nullopt).size() == 1 + kAdders);
}

TEST_CASE("store: a restore racing readers and snapshots is never seen half done") {
  Store store(0);
  auto fill = [&](const std::string& bytes) {
    std::vector<WriteItem> items;
    for (int ns = 0; ns < 40; ++ns) {
      for (int key = 0; key < 4; ++key) items.push_back({"ns" + std::to_string(ns), std::to_string(key), value_of(bytes)});
    }
    store.set_many(std::move(items));
    return store.snapshot();
  };
  const SnapshotRef state_a = fill("a"), state_b = fill("bbb");
  const Model model_a = contents(*state_a), model_b = contents(*state_b);
  std::barrier start(3);
  std::atomic<bool> done{false};
  std::thread restorer([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 300; ++i) store.restore(i % 2 ? *state_a : *state_b);
    done.store(true);
  });
  std::thread snapshots([&] {
    start.arrive_and_wait();
    while (!done.load()) {
      const SnapshotRef record = store.snapshot();
      const Model seen = contents(*record);
      CHECK((seen == model_a || seen == model_b));
      CHECK(record->size_bytes == (seen == model_a ? state_a->size_bytes : state_b->size_bytes));
    }
  });
  std::thread reader([&] {
    start.arrive_and_wait();
    while (!done.load()) {
      for (int i = 0; i < 16; ++i) {  // gets in a row: no other lock of this thread orders them after a restore
        const EncodedValue value = store.get("ns7", "2");
        CHECK((value.bytes() == "a" || value.bytes() == "bbb"));
      }
      CHECK(store.entry_count() == 160);
    }
  });
  for (std::thread* thread : {&restorer, &snapshots, &reader}) thread->join();
}
