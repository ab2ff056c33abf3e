// store/snapshot.h: SnapshotData, one captured point-in-time view of a store.
// * Built once by Store::snapshot() and never changed afterwards; shared through
//   std::shared_ptr<const SnapshotData> by the store's history and every Python
//   Snapshot object that shows it. It holds no reference to its store, so it
//   outlives it.
// * The 16 shard maps are O(1) clones of the store's maps at capture: the record
//   pins those nodes and encoded values, and writes to the store copy paths
//   instead of changing them.
// * Any number of threads may read a record at once without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/shard.h"

namespace tallowmere {

// 128 random bits drawn when a store is made. Snapshots carry their store's
// lineage, so a file can tell a delta of its own store from one of any other
// (snapshot ids alone repeat across stores and processes).
using Lineage = std::array<unsigned char, 16>;

// A fresh lineage from the OS CSPRNG (the clock and an address when it is out).
Lineage new_lineage() noexcept;

struct SnapshotData {
  Lineage lineage{};
  std::uint64_t id = 0;
  double timestamp = 0.0;  // seconds since the Unix epoch
  std::optional<std::uint64_t> parent;
  std::uint64_t size_bytes = 0;  // sum of shard_bytes
  std::array<ShardMap, kShardCount> shard_maps;
  std::array<std::uint64_t, kShardCount> shard_bytes{};
  std::array<std::uint64_t, kShardCount> shard_entries{};

  std::uint64_t entry_count() const noexcept;

  // f(std::string_view namespace, std::string_view key) for every pair, shard 0 to
  // 15, the keys of one namespace together. The views live as long as the record.
  // An exception thrown by f ends the walk and leaves the record as it was.
  template <class F>
  void for_each_pair(F&& f) const {
    for (const ShardMap& shard_map : shard_maps) {
      shard_map.for_each([&](const std::string& namespace_name, const KeyMap& keys) {
        keys.for_each([&](const std::string& key, const EncodedValue&) {
          f(std::string_view(namespace_name), std::string_view(key));
        });
      });
    }
  }
};

// Seconds since the Unix epoch from the real-time clock, 0.0 for a clock set
// before the epoch.
double wall_clock_seconds() noexcept;

}  // namespace tallowmere
