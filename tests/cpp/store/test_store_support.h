// Helpers shared by the store tests: building values and reading a store or a
// snapshot back into plain std::map models.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store/snapshot.h"
#include "store/store.h"

namespace tallowmere::test {

using Model = std::map<std::pair<std::string, std::string>, std::string>;

inline EncodedValue value_of(const std::string& bytes) { return EncodedValue::copy_of(bytes.data(), bytes.size()); }

inline Model contents(const SnapshotData& record) {
  Model model;
  for (const ShardMap& shard_map : record.shard_maps) {
    shard_map.for_each([&](const std::string& name, const KeyMap& keys) {
      keys.for_each([&](const std::string& key, const EncodedValue& value) { model[{name, key}] = value.bytes(); });
    });
  }
  return model;
}

inline Model contents(Store& store) { return contents(*store.snapshot()); }

// Views of `items` for the batch calls that take them, holding their values.
inline std::vector<WriteView> views_of(std::vector<WriteItem>& items) {
  std::vector<WriteView> views;
  for (WriteItem& item : items) views.push_back({item.namespace_name, item.key, std::move(item.value)});
  return views;
}

inline std::uint64_t total_bytes(const Model& model) {
  std::uint64_t total = 0;
  for (const auto& entry : model) total += entry.second.size();
  return total;
}

}  // namespace tallowmere::test

using namespace tallowmere;
using tallowmere::test::contents;
using tallowmere::test::Model;
using tallowmere::test::total_bytes;
using tallowmere::test::value_of;
using tallowmere::test::views_of;
