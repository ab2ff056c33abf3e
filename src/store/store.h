// store/store.h: the sharded store. Pure C++: callers hand in UTF-8 names and
// already encoded values, and get back shared buffers to decode.
// * 16 shards, each a readers-writer lock around a persistent map of namespace ->
//   key map -> encoded value. A namespace lives in shard shard_index(namespace).
// * Locks: an operation that holds several shard locks takes them in ascending
//   shard index (snapshot and restore hold all 16); batch and scan operations
//   visit shards in ascending order, one lock at a time. The last-id and history
//   locks are never held together with a shard lock or with each other.
// * Names come in as views (the caller keeps them alive for the call); the map
//   makes its own string for a name only when the name is new to it.
// * Everything that can fail on input happens before the first lock. Under a lock
//   only map updates run; a std::bad_alloc there leaves the shard's map and
//   counters as they were (batches included, per shard) and the lock is released
//   by its RAII owner. Maps and values that an operation replaces are destroyed
//   after it has released its locks, so freeing big trees never blocks others.
// * Cost: single-key operations O(log32 n) with one lock; scans hold a lock only for
//   an O(1) clone; snapshot 16 O(1) clones;
//   restore 16 clones plus freeing what only the old maps held.
// * Thread-safe: every member may be called from any number of threads at once.
// * Fork: every live store is quiesced around fork() (pthread_atfork, registered
//   with the first store): before it, the forking thread takes lock_all() on each;
//   after it the parent releases them and the child, where their owner no longer
//   exists, makes them new. So a child never inherits a map half updated nor a
//   lock held for good. Taking them is safe whatever the forking thread holds (the
//   interpreter lock, say) because no holder of a store lock ever waits for
//   anything but other store locks, in the order above. A lock added to Store must
//   join lock_all(), unlock_all() and after_fork_in_child(). The child also
//   draws a new lineage, so snapshots it takes never continue its parent's files.
// * Logged stores (attach_journal): every change goes through apply(), which locks
//   every shard the change touches (ascending), applies it to the maps in place
//   with a copy of each touched map kept aside, appends its record to the journal
//   and only then releases the locks; a failed allocation or a failed append puts
//   the copies back, so the change never happened. Records thus reach the journal
//   in the order the maps change, and a multi-shard batch is one record that no
//   conflicting write can interleave with. A journal that syncs before answering
//   keeps those copies (the undo list of each shard, under that shard's lock)
//   until the sync covers them; if the sync fails, every shard goes back to the
//   state of the last synced record and the store takes no more writes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "store/encoded_value.h"
#include "store/journal.h"
#include "store/operation.h"
#include "store/shard.h"
#include "store/snapshot.h"

namespace tallowmere {

// Tests only (see set_many): a pair to write that owns its names.
struct WriteItem {
  std::string namespace_name;
  std::string key;
  EncodedValue value;
};

// A pair to write, by views that must stay valid for the call (the binding points
// them at the UTF-8 kept by the argument strings it holds). Names are copied into
// the map only when new, so overwriting a pair copies no name.
struct WriteView {
  std::string_view namespace_name;
  std::string_view key;
  EncodedValue value;
};

// A pair to look up. The views must stay valid for the call (the binding points
// them at the UTF-8 kept by the argument strings it holds).
struct KeyPath {
  std::string_view namespace_name;
  std::string_view key;
};

using SnapshotRef = std::shared_ptr<const SnapshotData>;

// What scan() selects from one namespace: keys in [start, stop) that begin with
// `prefix` and whose value passes `filter`, in code-point (UTF-8 byte) order or
// newest-first, at most `limit` of them. `filter` runs with no lock held, on
// values of a private clone; it must be safe to call from the scanning thread.
struct ScanRange {
  std::optional<std::string_view> prefix;
  std::optional<std::string_view> start;  // inclusive
  std::optional<std::string_view> stop;   // exclusive
  bool reverse = false;
  std::optional<std::uint64_t> limit;
  std::function<bool(const EncodedValue&)> filter;  // empty: every value passes
};

struct ScanEntry {
  std::string key;
  EncodedValue value;
};

namespace detail {
class LiveStores;
}

class Store {
 public:
  // max_history: snapshots retained; 0 none, n the newest n, nullopt unlimited.
  explicit Store(std::optional<std::uint64_t> max_history) noexcept;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  std::optional<std::uint64_t> max_history() const noexcept { return max_history_; }
  const Lineage& lineage() const noexcept { return lineage_; }

  // From now on every change is logged to `journal` before anyone sees it. Call
  // once, before the store is shared with other threads.
  void attach_journal(std::shared_ptr<Journal> journal) noexcept { journal_ = std::move(journal); }
  bool logged() const noexcept { return journal_ != nullptr; }

  void set(std::string_view namespace_name, std::string_view key, EncodedValue value);
  EncodedValue get(std::string_view namespace_name, std::string_view key) const;  // empty if absent
  bool contains(std::string_view namespace_name, std::string_view key) const;
  bool contains_namespace(std::string_view namespace_name) const;
  bool delete_key(std::string_view namespace_name, std::string_view key);
  // Writes only when the pair is absent, under one write lock; true when it wrote.
  bool add(std::string_view namespace_name, std::string_view key, EncodedValue value);
  // Removes every key of a namespace in one update; returns how many there were.
  std::uint64_t delete_namespace(std::string_view namespace_name);
  // `target` becomes `source`'s key map, shared: O(1) under the locks (the value
  // lengths are summed beforehand from a clone, with no lock held). An absent or
  // empty source removes `target`. Returns the number of keys copied.
  std::uint64_t copy_namespace(std::string_view source, std::string_view target);

  // Applied shard by shard in ascending order, items of one shard in input order
  // under one write lock; the last of several writes to one pair wins.
  void set_many(std::vector<WriteView> items);
  void set_many(std::vector<WriteItem> items);  // tests only: owning items, for convenience
  // Every touched shard is write-locked, in ascending order, for the whole batch, so
  // no reader or snapshot sees part of it. All or nothing: a failed allocation puts
  // every touched shard back as it was.
  void set_many_atomic(std::vector<WriteView> items);
  // add() for many pairs: each is written only if absent (one already written by this
  // batch counts as present). One change, as set_many_atomic. Returns how many were
  // written.
  std::uint64_t add_many(std::vector<WriteView> items);
  // One result per input pair, in input order; an empty handle where absent.
  std::vector<EncodedValue> get_many(const std::vector<KeyPath>& pairs) const;

  // Scans take an O(1) clone under the shard's read lock and walk it with no lock
  // held, so a long scan never stalls writers (the clone makes the next write to
  // that map copy its path once). Each shard is seen at one moment; `namespaces`
  // sees shards one after another, not all at one moment.
  KeyMap key_map(std::string_view namespace_name) const;  // empty if absent
  ShardMap shard_map(std::size_t shard) const;
  std::vector<std::string> keys(std::string_view namespace_name, std::optional<std::string_view> prefix) const;
  std::optional<std::string> max_key(std::string_view namespace_name) const;  // byte order
  // One walk over the namespace (plus the filter's cost), then O(k log k) for the k
  // keys returned: a partial selection finds the first `limit`, and only they are
  // sorted. A limit below a quarter of the namespace keeps a heap of k instead of a
  // list of every match, and runs the filter only on keys that would enter it.
  std::vector<ScanEntry> scan(std::string_view namespace_name, const ScanRange& range) const;
  std::vector<std::string> namespaces(std::optional<std::string_view> prefix) const;
  void clear();
  std::uint64_t entry_count() const;  // each shard consistent, not a point-in-time total

  // Applies `operations` in order as one change, all or nothing: every shard they
  // touch is locked for the whole change, so no reader or snapshot sees part of
  // it. Returns each operation's effect (see apply_operation). Strict: an
  // operation that finds nothing to act on (a delete of an absent pair or
  // namespace, an add of a present pair) is an error (CoreError, kind Value) and
  // nothing changes. Not strict: such an operation simply does nothing, and a
  // journal gets a record of only what the change did.
  enum class Fit { kStrict, kLenient };
  std::vector<std::uint64_t> apply(std::span<const Operation> operations, Fit fit);

  SnapshotRef snapshot();
  // The state, and where the journal stands, at one moment: no change is part
  // way through. Neither numbered nor kept in the history.
  SnapshotRef capture(JournalCursor& cursor) const;
  std::vector<SnapshotRef> history() const;
  void clear_history();
  void restore(const SnapshotData& record);

  // Every lock of the store, taken for writing in the documented order (shards
  // ascending, then the journal's, then history, then last id): while held, no
  // operation is part way through. unlock_all() releases them;
  // after_fork_in_child() replaces them by free ones, for a forked child, whose
  // copies are owned by a thread of the parent, and gives the child's store a
  // lineage of its own.
  void lock_all() noexcept;
  void unlock_all() noexcept;
  void after_fork_in_child() noexcept;

 private:
  friend class detail::LiveStores;

  Shard& shard_for(std::string_view namespace_name) { return shards_[shard_index(namespace_name)]; }
  const Shard& shard_for(std::string_view namespace_name) const {
    return shards_[shard_index(namespace_name)];
  }

  // The copy of a shard kept until the journal has synced the record that
  // changed it (see the design notes above).
  struct Undo {
    std::uint64_t position;
    ShardMap map;
    std::uint64_t entries;
    std::uint64_t bytes;
  };

  // Every shard's map and counters into `record`, under all the read locks; with
  // `cursor`, also where the journal stands at that moment.
  void copy_state(SnapshotData& record, JournalCursor* cursor) const;
  // With every shard's write lock held: the shards take `record`'s maps and
  // counters, and `replaced` the maps they had.
  void install_locked(const SnapshotData& record, std::array<ShardMap, kShardCount>& replaced) noexcept;
  // One operation through apply() as a change of its own: how a logged store makes
  // each single write. Returns its effect.
  std::uint64_t apply_one(const Operation& op) { return apply({&op, 1}, Fit::kLenient)[0]; }
  void wait_durable(std::uint64_t position, std::uint16_t shards);
  void roll_back_undurable() noexcept;
  void restore_logged(const SnapshotData& record);

  const std::optional<std::uint64_t> max_history_;
  Lineage lineage_ = new_lineage();  // renewed only in a forked child
  std::shared_ptr<Journal> journal_;
  std::array<std::deque<Undo>, kShardCount> undo_;  // each guarded by its shard's lock
  std::array<Shard, kShardCount> shards_;
  std::atomic<std::uint64_t> next_id_{1};
  std::mutex last_id_mutex_;
  std::optional<std::uint64_t> last_snapshot_id_;  // guarded by last_id_mutex_
  mutable std::shared_mutex history_mutex_;
  std::deque<SnapshotRef> history_;  // guarded by history_mutex_, oldest first
  Store* live_prev_ = nullptr;  // the list of live stores, guarded by its own lock
  Store* live_next_ = nullptr;
};

}  // namespace tallowmere
