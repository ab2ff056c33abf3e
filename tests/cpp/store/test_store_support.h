// Helpers shared by the store tests: building values and reading a store or a
// snapshot back into plain std::map models.
#pragma once

#include <map>
#include <string>
#include <utility>

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
