// store/operation.h: one change to a store, as data. The durable store logs
// them, a loader replays them, replicas apply them; all three go through
// apply_operation(), so a replayed change is the change that was made live.
// * Names are views: the caller keeps the bytes alive while the operation is used.
// * apply_operation() edits shard maps in place (callers hold the shard locks or
//   own the maps) and keeps each shard's counters in step with its map. It
//   returns the operation's effect; an operation whose effect is 0 changed
//   nothing, so a caller can tell "absent" from "done" without a second lookup.
// * A std::bad_alloc thrown part way leaves a map that the caller must put back
//   from a clone taken before (as the store does with its undo copies); the
//   counters are updated only after each map edit has succeeded.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "store/shard.h"

namespace tallowmere {

enum class OperationKind : std::uint8_t {
  kSet = 1,              // namespace, key, value
  kDeleteKey = 2,        // namespace, key
  kDeleteNamespace = 3,  // namespace
  kCopyNamespace = 4,    // source, target
  kClear = 5,            // every namespace
};

struct Operation {
  OperationKind kind = OperationKind::kSet;
  std::string_view first;   // the namespace; the source of a copy
  std::string_view second;  // the key; the target of a copy
  EncodedValue value;       // kSet only
  bool only_if_absent = false;  // kSet: write only when the pair is absent (Store.add)

  static Operation set(std::string_view namespace_name, std::string_view key, EncodedValue value) {
    return {OperationKind::kSet, namespace_name, key, std::move(value)};
  }
  static Operation delete_key(std::string_view namespace_name, std::string_view key) {
    return {OperationKind::kDeleteKey, namespace_name, key, {}};
  }
  static Operation delete_namespace(std::string_view namespace_name) {
    return {OperationKind::kDeleteNamespace, namespace_name, {}, {}};
  }
  static Operation copy_namespace(std::string_view source, std::string_view target) {
    return {OperationKind::kCopyNamespace, source, target, {}};
  }
  static Operation clear() { return {OperationKind::kClear, {}, {}, {}}; }
};

// The shards an operation writes, as a 16-bit mask; copy also reads its source.
std::uint16_t shards_written(const Operation& op);
std::uint16_t shards_read(const Operation& op);

// The 16 shard maps and counters an operation edits, whichever object holds
// them (a live store under its locks, a loader's private state). Byte counts
// are gathered as deltas and added by the holder, whose counter may be atomic.
struct ShardTargets {
  std::array<ShardMap*, kShardCount> maps{};
  std::array<std::uint64_t*, kShardCount> entries{};
  std::array<std::int64_t, kShardCount> bytes_delta{};
  std::array<bool, kShardCount> bytes_reset{};  // cleared: the holder's count restarts from 0
};

// Applies `op`. Effect: kSet 1 when it wrote (only_if_absent: 0 when the pair
// was there), kDeleteKey 1 when the pair was there, kDeleteNamespace / kClear the
// number of pairs removed, kCopyNamespace the number of pairs copied. Shards the
// operation does not touch may be left null in `targets`.
std::uint64_t apply_operation(const Operation& op, ShardTargets& targets);

// Total length of the values of one key map (what a shard's byte counter counts).
std::uint64_t value_bytes(const KeyMap& keys) noexcept;

}  // namespace tallowmere
