// Allocation failures inside locked updates: for n = 1, 2, ... the n-th allocation
// fails until the operation gets through. After every failure the store holds what
// it held before, its counters agree with its maps, its history is unchanged, and
// the shard locks can be taken by another thread.
#include <doctest/doctest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "fault_loop.h"
#include "test_store_support.h"

namespace {

using Batch = std::vector<std::pair<std::pair<std::string, std::string>, std::string>>;

// Other operations fail whole. A batch (of new pairs) is applied item by item, shard
// by shard ascending and in input order within a shard, so a failure leaves some
// prefix of that order written.
void check_consistent(Store& store, const Model& before, Batch batch) {
  const SnapshotRef now = store.snapshot();
  const Model seen = contents(*now);
  Model expected = before;
  std::stable_sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) {
    return shard_index(a.first.first) < shard_index(b.first.first);
  });
  const std::size_t written = seen.size() - before.size();
  REQUIRE(written <= batch.size());
  for (std::size_t i = 0; i < written; ++i) expected.insert(batch[i]);
  CHECK(seen == expected);
  CHECK(now->size_bytes == total_bytes(expected));
  CHECK(now->entry_count() == expected.size());
  // Every shard's write lock is free again: another thread can read, clear and refill.
  std::thread([&] {
    for (const auto& [pair, bytes] : seen) CHECK(store.get(pair.first, pair.second).bytes() == bytes);
    Store scratch(0);
    scratch.restore(*now);
    scratch.set("probe", "k", value_of("x"));
  }).join();
  for (std::size_t s = 0; s < kShardCount; ++s) store.keys(std::string(1, char('a' + s)), std::nullopt);
}

std::vector<std::uint64_t> history_ids(const Store& store) {
  std::vector<std::uint64_t> ids;
  for (const SnapshotRef& record : store.history()) ids.push_back(record->id);
  return ids;
}

void populate(Store& store) {
  for (int ns = 0; ns < 40; ++ns) {
    for (int key = 0; key < 30; ++key) {
      store.set("ns" + std::to_string(ns), "key" + std::to_string(key), value_of(std::string(key % 7 + 1, 'v')));
    }
  }
  store.set("lonely", "k", value_of("1"));
}

struct FaultCase {
  const char* name;
  std::function<void(Store&)> operation;
  bool must_allocate;
  bool is_batch = false;  // a batch may stop between items
};

}  // namespace

TEST_CASE("store: an allocation failure under a shard lock leaves the store as it was") {
  if (!fault::kEnabled) {
    MESSAGE("fault injection is off in this build");
    return;
  }
  Store foreign(0);
  populate(foreign);
  foreign.set("only in foreign", "k", value_of("1"));
  const SnapshotRef foreign_state = foreign.snapshot();
  Batch batch;
  for (int i = 0; i < 120; ++i) batch.push_back({{"ns" + std::to_string(i % 50), "batch" + std::to_string(i)}, "xy"});

  const std::vector<FaultCase> cases = {
      {"set into an existing namespace", [](Store& s) { s.set("ns3", "new key", value_of("abc")); }, true},
      {"replace a value", [](Store& s) { s.set("ns3", "key1", value_of("abc")); }, true},
      {"set into a new namespace", [](Store& s) { s.set("fresh", "k", value_of("abc")); }, true},
      {"remove a key", [](Store& s) { s.remove("ns5", "key3"); }, false},
      {"remove a namespace's last key", [](Store& s) { s.remove("lonely", "k"); }, false},
      {"set_many across every shard",
       [&](Store& s) {
         std::vector<WriteItem> items;
         for (const auto& [pair, bytes] : batch) items.push_back({pair.first, pair.second, value_of(bytes)});
         s.set_many(std::move(items));
       },
       true, true},
      {"set_many_atomic across every shard, all or nothing",
       [&](Store& s) {
         std::vector<WriteView> items;
         for (const auto& [pair, bytes] : batch) items.push_back({pair.first, pair.second, value_of(bytes)});
         s.set_many_atomic(std::move(items));
       },
       true},
      {"add a new pair", [](Store& s) { s.add("ns3", "added", value_of("abc")); }, true},
      {"add_many across every shard",
       [&](Store& s) {
         std::vector<WriteView> items;
         for (const auto& [pair, bytes] : batch) items.push_back({pair.first, pair.second, value_of(bytes)});
         s.add_many(std::move(items));
       },
       true, true},
      {"delete a namespace", [](Store& s) { s.delete_namespace("ns7"); }, false},
      {"copy over an existing namespace", [](Store& s) { s.copy_namespace("ns1", "ns2"); }, false},
      {"copy into a new namespace", [](Store& s) { s.copy_namespace("ns1", "fork"); }, true},
      {"scan", [](Store& s) { s.scan("ns1", ScanRange{std::nullopt, "key1", "key5", true, 3, {}}); }, true},
      {"snapshot", [](Store& s) { s.snapshot(); }, true},
      {"restore", [&](Store& s) { s.restore(*foreign_state); }, false},
      {"get_many", [](Store& s) { s.get_many({{"ns1", "key1"}, {"ns2", "key2"}}); }, true},
      {"keys", [](Store& s) { s.keys("ns1", std::nullopt); }, true},
      {"namespaces", [](Store& s) { s.namespaces("ns"); }, true},
  };
  for (const FaultCase& fault_case : cases) {
    for (bool shared : {false, true}) {
      CAPTURE(std::string(fault_case.name));
      CAPTURE(shared);
      Store store(3);
      populate(store);
      SnapshotRef pinned;
      if (shared) pinned = store.snapshot();  // every write now copies its path
      const Model before = contents(store);
      std::vector<std::uint64_t> history_before = history_ids(store);
      const int failures = fail_each_allocation([&] { fault_case.operation(store); }, [&] {
        CHECK(history_ids(store) == history_before);
        check_consistent(store, before, fault_case.is_batch ? batch : Batch{});
        history_before = history_ids(store);  // the check took a snapshot of its own
      });
      if (fault_case.must_allocate) CHECK(failures > 0);
      if (pinned) CHECK(pinned->entry_count() == 40 * 30 + 1);
    }
  }
}
