// store_changes.cpp: a change as a list of operations, applied under every lock it
// needs: what replicas apply (apply_record), what a loader replays, and how a
// logged store (Store.open) makes every write. The order of events for one change:
//   1. no lock: the record is encoded (Journal::prepare);
//   2. every shard it writes is write-locked, every shard it only reads (a copy's
//      source) read-locked, in ascending order;
//   3. each written shard's map is cloned aside (O(1)), and the operations edit the
//      maps in place, copying the paths they touch;
//   4. the record is appended; if that or any edit fails, the clones go back and the
//      change never happened;
//   5. a journal that syncs before answering keeps the clones in the shards' undo
//      lists; the locks go;
//   6. no lock: the caller waits for the sync that covers its record. If it fails,
//      every shard goes back to the last synced state (roll_back_undurable) and the
//      journal refuses writes from then on.
// Records thus reach the journal in the order the maps change, and no reader ever
// sees a change whose record was not written.
#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "common/error.h"
#include "common/fault.h"
#include "store/snapshot_diff.h"
#include "store/store.h"

namespace tallowmere {
namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

// Write locks on the shards in `written` and read locks on those only in `read`,
// taken in ascending shard index and released together.
class ShardLocks {
 public:
  ShardLocks(std::array<Shard, kShardCount>& shards, std::uint16_t written, std::uint16_t read) {
    for (std::size_t s = 0; s < kShardCount; ++s) {
      if (written & (1u << s)) {
        write_[s] = WriteLock(shards[s].mutex);
      } else if (read & (1u << s)) {
        read_[s] = ReadLock(shards[s].mutex);
      }
    }
  }

 private:
  std::array<WriteLock, kShardCount> write_;
  std::array<ReadLock, kShardCount> read_;
};

bool needs_fit(const Operation& op) noexcept {
  return op.kind == OperationKind::kDeleteKey || op.kind == OperationKind::kDeleteNamespace ||
         (op.kind == OperationKind::kSet && op.only_if_absent);
}

// Whether an operation with this effect changed the state (and so must be logged).
bool changed_anything(const Operation& op, std::uint64_t effect) noexcept {
  switch (op.kind) {
    case OperationKind::kCopyNamespace:
      return op.first != op.second;
    case OperationKind::kClear:
      return true;
    default:
      return effect != 0;
  }
}

}  // namespace

std::vector<std::uint64_t> Store::apply(std::span<const Operation> operations, Fit fit) {
  std::vector<std::uint64_t> effects(operations.size());
  if (operations.empty()) return effects;
  std::optional<JournalRecord> record;
  if (journal_) {
    journal_->check_writable();  // refuse before any work when the log cannot take it
    record = journal_->prepare(operations);
  }
  std::uint16_t written = 0;
  std::uint16_t read = 0;
  for (const Operation& op : operations) {
    written |= shards_written(op);
    read |= shards_read(op);
  }
  // The maps as they were, to put back if anything fails; declared before the locks,
  // so what they alone hold is freed after unlocking.
  std::array<ShardMap, kShardCount> before;
  std::array<std::uint64_t, kShardCount> entries_before{};
  std::array<std::uint64_t, kShardCount> bytes_before{};
  std::uint64_t position = 0;
  {
    ShardLocks locks(shards_, written, read);
    ShardTargets targets;
    for (std::size_t s = 0; s < kShardCount; ++s) {
      if (((written | read) & (1u << s)) == 0) continue;
      targets.maps[s] = &shards_[s].map;  // a shard only read is never written through
      targets.entries[s] = &shards_[s].entries;
      if ((written & (1u << s)) == 0) continue;
      before[s] = shards_[s].map;  // O(1); edits below copy the paths they touch
      entries_before[s] = shards_[s].entries;
      bytes_before[s] = shards_[s].bytes.load(std::memory_order_relaxed);
    }
    const auto put_back = [&] {
      for (std::size_t s = 0; s < kShardCount; ++s) {
        if ((written & (1u << s)) == 0) continue;
        shards_[s].map = before[s];
        shards_[s].entries = entries_before[s];
      }
    };
    bool changed = false;
    try {
      for (std::size_t i = 0; i < operations.size(); ++i) {
        effects[i] = apply_operation(operations[i], targets);
        if (fit == Fit::kStrict && effects[i] == 0 && needs_fit(operations[i])) {
          throw CoreError(ErrorKind::Value, "operation " + std::to_string(i) + " of the record does not fit the store (" +
                                                (operations[i].kind == OperationKind::kSet ? "the pair is present"
                                                                                           : "nothing to delete") +
                                                ")");
        }
        changed = changed || changed_anything(operations[i], effects[i]);
      }
      if (changed && journal_) {
        // A record holds what happened: adds that found their pair present are left
        // out (replayed, they would be plain sets).
        if (fit == Fit::kLenient && operations.size() > 1) {
          std::vector<Operation> happened;
          for (std::size_t i = 0; i < operations.size(); ++i) {
            if (effects[i] != 0 || !needs_fit(operations[i])) happened.push_back(operations[i]);
          }
          if (happened.size() != operations.size()) record = journal_->prepare(happened);
        }
        position = journal_->append(*record);
      }
    } catch (...) {
      put_back();
      throw;
    }
    for (std::size_t s = 0; s < kShardCount; ++s) {
      if ((written & (1u << s)) == 0) continue;
      const std::uint64_t base = targets.bytes_reset[s] ? 0 : bytes_before[s];
      shards_[s].bytes.store(base + static_cast<std::uint64_t>(targets.bytes_delta[s]), std::memory_order_relaxed);
      if (position != 0 && journal_->keeps_undo()) {
        undo_[s].push_back({position, std::move(before[s]), entries_before[s], bytes_before[s]});
      }
    }
  }
  if (position != 0) wait_durable(position, written);
  return effects;
}

void Store::wait_durable(std::uint64_t position, std::uint16_t shards) {
  try {
    journal_->wait_durable(position);
  } catch (const JournalError&) {
    roll_back_undurable();
    throw;
  }
  if (!journal_->keeps_undo()) return;
  // The copies kept for records now synced can go (freed after unlocking).
  const std::uint64_t durable = journal_->durable_position();
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if ((shards & (1u << s)) == 0) continue;
    std::deque<Undo> done;
    WriteLock lock(shards_[s].mutex);
    std::deque<Undo>& undo = undo_[s];
    while (!undo.empty() && undo.front().position <= durable) {
      done.push_back(std::move(undo.front()));
      undo.pop_front();
    }
    lock.unlock();
  }
}

void Store::roll_back_undurable() noexcept {
  // The journal refuses appends once a sync has failed, so nothing is added to the
  // undo lists meanwhile; each shard goes back to its state before the first record
  // that the log could not sync.
  const std::uint64_t durable = journal_->durable_position();
  std::array<std::deque<Undo>, kShardCount> dropped;  // freed after unlocking
  std::array<WriteLock, kShardCount> locks;
  for (std::size_t s = 0; s < kShardCount; ++s) locks[s] = WriteLock(shards_[s].mutex);
  for (std::size_t s = 0; s < kShardCount; ++s) {
    std::deque<Undo>& undo = undo_[s];
    for (Undo& entry : undo) {
      if (entry.position <= durable) continue;
      std::swap(shards_[s].map, entry.map);
      shards_[s].entries = entry.entries;
      shards_[s].bytes.store(entry.bytes, std::memory_order_relaxed);
      break;
    }
    dropped[s].swap(undo);
  }
}

void Store::restore_logged(const SnapshotData& record) {
  journal_->check_writable();
  std::array<ShardMap, kShardCount> before;  // freed after the locks are released
  std::array<std::uint64_t, kShardCount> entries_before{};
  std::array<std::uint64_t, kShardCount> bytes_before{};
  std::uint64_t position = 0;
  {
    std::array<WriteLock, kShardCount> locks;
    for (std::size_t s = 0; s < kShardCount; ++s) locks[s] = WriteLock(shards_[s].mutex);
    SnapshotData now;
    for (std::size_t s = 0; s < kShardCount; ++s) {
      now.shard_maps[s] = before[s] = shards_[s].map;
      entries_before[s] = shards_[s].entries;
      bytes_before[s] = shards_[s].bytes.load(std::memory_order_relaxed);
    }
    // The record says how to go from here to `record`: what the diff finds.
    const SnapshotDiff diff = diff_snapshots(now, record);
    std::vector<Operation> operations;
    operations.reserve(diff.added.size() + diff.changed.size() + diff.removed.size());
    for (const auto* written : {&diff.added, &diff.changed}) {
      for (const KeyPairView& pair : *written) {
        const KeyMap* keys = record.shard_maps[shard_index(pair.namespace_name)].find(pair.namespace_name);
        operations.push_back(Operation::set(pair.namespace_name, pair.key, *keys->find(pair.key)));
      }
    }
    for (const KeyPairView& pair : diff.removed) operations.push_back(Operation::delete_key(pair.namespace_name, pair.key));
    if (!operations.empty()) {
      JournalRecord prepared = journal_->prepare(operations);
      position = journal_->append(prepared);
    }
    install_locked(record, before);  // `before` held the same maps already
    for (std::size_t s = 0; s < kShardCount && position != 0 && journal_->keeps_undo(); ++s) {
      undo_[s].push_back({position, std::move(before[s]), entries_before[s], bytes_before[s]});
    }
  }
  if (position != 0) wait_durable(position, 0xFFFF);
}

SnapshotRef Store::capture(JournalCursor& cursor) const {
  fault::fault_point();
  auto record = std::make_shared<SnapshotData>();
  copy_state(*record, &cursor);
  return record;
}

}  // namespace tallowmere
