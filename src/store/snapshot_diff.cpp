#include "store/snapshot_diff.h"

#include <string>

namespace tallowmere {
namespace {

void append_all_keys(std::vector<KeyPairView>& out, std::string_view namespace_name, const KeyMap& keys) {
  keys.for_each([&](const std::string& key, const EncodedValue&) { out.push_back({namespace_name, key}); });
}

void diff_key_maps(SnapshotDiff& result, std::string_view namespace_name, const KeyMap& base,
                   const KeyMap& self) {
  if (self.same(base)) return;
  KeyMap::diff(
      base, self,
      [&](const std::string& key, const EncodedValue&) { result.added.push_back({namespace_name, key}); },
      [&](const std::string& key, const EncodedValue&) { result.removed.push_back({namespace_name, key}); },
      [&](const std::string& key, const EncodedValue& base_value, const EncodedValue& self_value) {
        if (!same_content(base_value, self_value)) result.changed.push_back({namespace_name, key});
      });
}

}  // namespace

SnapshotDiff diff_snapshots(const SnapshotData& base, const SnapshotData& self) {
  SnapshotDiff result;
  // Every store places a namespace by the same shard_index, so a namespace can
  // only ever be in shard map i of both views: comparing the maps shard by shard
  // finds every pair, whichever stores the views came from.
  for (std::size_t shard = 0; shard < kShardCount; ++shard) {
    const ShardMap& base_map = base.shard_maps[shard];
    const ShardMap& self_map = self.shard_maps[shard];
    if (self_map.same(base_map)) continue;
    ShardMap::diff(
        base_map, self_map,
        [&](const std::string& name, const KeyMap& keys) { append_all_keys(result.added, name, keys); },
        [&](const std::string& name, const KeyMap& keys) { append_all_keys(result.removed, name, keys); },
        [&](const std::string& name, const KeyMap& base_keys, const KeyMap& self_keys) {
          diff_key_maps(result, name, base_keys, self_keys);
        });
  }
  return result;
}

}  // namespace tallowmere
