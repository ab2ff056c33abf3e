#include "store/operation.h"

#include <utility>

namespace tallowmere {
namespace {

constexpr std::uint16_t kAllShards = 0xFFFF;

std::uint16_t bit_of(std::string_view namespace_name) {
  return static_cast<std::uint16_t>(1u << shard_index(namespace_name));
}

std::uint64_t apply_set(const Operation& op, ShardTargets& targets) {
  const std::size_t s = shard_index(op.first);
  ShardMap& map = *targets.maps[s];
  const auto added = static_cast<std::int64_t>(op.value.size());
  // Probe read-only first: a present pair under only_if_absent must not copy a path.
  if (op.only_if_absent) {
    if (const KeyMap* keys = map.find(op.first); keys != nullptr && keys->find(op.second) != nullptr) return 0;
  }
  if (KeyMap* keys = map.find_for_update(op.first)) {
    if (std::optional<EncodedValue> replaced = keys->insert(op.second, op.value)) {
      targets.bytes_delta[s] += added - static_cast<std::int64_t>(replaced->size());
      return 1;
    }
  } else {
    KeyMap fresh;
    fresh.insert(op.second, op.value);
    map.insert(op.first, std::move(fresh));
  }
  targets.bytes_delta[s] += added;
  ++*targets.entries[s];
  return 1;
}

std::uint64_t apply_delete_key(const Operation& op, ShardTargets& targets) {
  const std::size_t s = shard_index(op.first);
  ShardMap& map = *targets.maps[s];
  const KeyMap* keys = map.find(op.first);
  const EncodedValue* value = keys != nullptr ? keys->find(op.second) : nullptr;
  if (value == nullptr) return 0;
  const auto removed = static_cast<std::int64_t>(value->size());
  if (keys->size() == 1) {
    map.remove(op.first);  // a namespace goes with its last key, in one update
  } else {
    map.find_for_update(op.first)->remove(op.second);
  }
  targets.bytes_delta[s] -= removed;
  --*targets.entries[s];
  return 1;
}

std::uint64_t apply_delete_namespace(const Operation& op, ShardTargets& targets) {
  const std::size_t s = shard_index(op.first);
  ShardMap& map = *targets.maps[s];
  const KeyMap* keys = map.find(op.first);
  if (keys == nullptr || keys->empty()) return 0;
  const std::uint64_t count = keys->size();
  const auto removed = static_cast<std::int64_t>(value_bytes(*keys));
  map.remove(op.first);
  targets.bytes_delta[s] -= removed;
  *targets.entries[s] -= count;
  return count;
}

std::uint64_t apply_copy_namespace(const Operation& op, ShardTargets& targets) {
  const std::size_t source_shard = shard_index(op.first);
  const std::size_t target_shard = shard_index(op.second);
  const KeyMap* source = targets.maps[source_shard]->find(op.first);
  if (op.first == op.second) return source != nullptr ? source->size() : 0;
  KeyMap copy = source != nullptr ? *source : KeyMap();
  ShardMap& map = *targets.maps[target_shard];
  const KeyMap* old = map.find(op.second);
  const std::uint64_t old_count = old != nullptr ? old->size() : 0;
  const std::int64_t old_bytes = old != nullptr ? static_cast<std::int64_t>(value_bytes(*old)) : 0;
  const std::uint64_t count = copy.size();
  const auto copy_bytes = static_cast<std::int64_t>(value_bytes(copy));
  if (count == 0) {
    if (old != nullptr) map.remove(op.second);
  } else if (old != nullptr) {
    *map.find_for_update(op.second) = std::move(copy);
  } else {
    map.insert(op.second, std::move(copy));
  }
  targets.bytes_delta[target_shard] += copy_bytes - old_bytes;
  *targets.entries[target_shard] = *targets.entries[target_shard] + count - old_count;
  return count;
}

std::uint64_t apply_clear(ShardTargets& targets) {
  std::uint64_t count = 0;
  for (std::size_t s = 0; s < kShardCount; ++s) {
    count += *targets.entries[s];
    *targets.maps[s] = ShardMap();
    *targets.entries[s] = 0;
    targets.bytes_delta[s] = 0;
    targets.bytes_reset[s] = true;
  }
  return count;
}

}  // namespace

std::uint16_t shards_written(const Operation& op) {
  switch (op.kind) {
    case OperationKind::kSet:
    case OperationKind::kDeleteKey:
    case OperationKind::kDeleteNamespace:
      return bit_of(op.first);
    case OperationKind::kCopyNamespace:
      return bit_of(op.second);
    case OperationKind::kClear:
      return kAllShards;
  }
  return kAllShards;
}

std::uint16_t shards_read(const Operation& op) {
  return op.kind == OperationKind::kCopyNamespace ? bit_of(op.first) : 0;
}

std::uint64_t apply_operation(const Operation& op, ShardTargets& targets) {
  switch (op.kind) {
    case OperationKind::kSet:
      return apply_set(op, targets);
    case OperationKind::kDeleteKey:
      return apply_delete_key(op, targets);
    case OperationKind::kDeleteNamespace:
      return apply_delete_namespace(op, targets);
    case OperationKind::kCopyNamespace:
      return apply_copy_namespace(op, targets);
    case OperationKind::kClear:
      return apply_clear(targets);
  }
  return 0;
}

std::uint64_t value_bytes(const KeyMap& keys) noexcept {
  std::uint64_t total = 0;
  keys.for_each([&](const std::string&, const EncodedValue& value) { total += value.size(); });
  return total;
}

}  // namespace tallowmere
