#include "store/store.h"

#include "common/fault.h"
#include "common/fork_hooks.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <utility>

namespace tallowmere {
namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

void add_signed(std::atomic<std::uint64_t>& counter, std::int64_t delta) noexcept {
  if (delta >= 0) {
    counter.fetch_add(static_cast<std::uint64_t>(delta), std::memory_order_relaxed);
  } else {
    counter.fetch_sub(static_cast<std::uint64_t>(-delta), std::memory_order_relaxed);
  }
}

// The key maps of the last few namespaces a batch looked up in one shard, so a
// batch that keeps returning to a handful of namespaces looks each up once.
// Absent namespaces are remembered too (as null). The names are the batch's own
// views, which outlive it; the pointers are valid while the shard's lock is held
// and the shard map keeps its shape (forget() when it changes).
template <class KeyMapPtr>
class RecentKeyMaps {
 public:
  template <class Lookup>
  KeyMapPtr get(std::string_view name, Lookup&& lookup) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (NameEqual{}(slots_[i].name, name)) return slots_[i].keys;
    }
    const KeyMapPtr keys = lookup(name);
    slots_[next_] = {name, keys};
    next_ = (next_ + 1) % kSlots;
    if (count_ < kSlots) ++count_;
    return keys;
  }
  void forget() noexcept { count_ = next_ = 0; }

 private:
  struct Slot {
    std::string_view name;
    KeyMapPtr keys;
  };
  static constexpr std::size_t kSlots = 4;
  std::array<Slot, kSlots> slots_{};
  std::size_t count_ = 0;
  std::size_t next_ = 0;
};

// Writes pairs into one shard while its write lock is held.
// * Key maps are found through RecentKeyMaps. Paths made private stay private while
//   the lock is held, so the remembered slots stay put until the shard map changes
//   shape (a namespace is added), when they are forgotten.
// * The shard's counters are brought up to date when the writer goes away, after
//   success or a failed allocation alike, so they always describe what the map
//   holds; declare the writer after the lock so this happens before unlocking.
class ShardWriter {
 public:
  explicit ShardWriter(Shard& shard) noexcept : shard_(shard) {}
  ~ShardWriter() {
    add_signed(shard_.bytes, delta_bytes_);
    shard_.entries += added_entries_;
  }
  ShardWriter(const ShardWriter&) = delete;
  ShardWriter& operator=(const ShardWriter&) = delete;

  // Either the pair is written or, on std::bad_alloc, the map is as it was. The
  // value replaced, if any, is left in `item.value`, to be freed after unlocking.
  // `item` must outlive the writer (its namespace is compared with later items').
  void put(WriteView& item) {
    const auto added_bytes = static_cast<std::int64_t>(item.value.size());
    KeyMap* keys =
        recent_.get(item.namespace_name, [&](std::string_view name) { return shard_.map.find_for_update(name); });
    if (keys != nullptr) {
      std::optional<EncodedValue> old = keys->insert(item.key, std::move(item.value));
      if (old) {
        item.value = std::move(*old);
        delta_bytes_ += added_bytes - static_cast<std::int64_t>(item.value.size());
        return;
      }
    } else {
      KeyMap new_keys;
      new_keys.insert(item.key, std::move(item.value));
      recent_.forget();  // the insert below may move every namespace's slot
      shard_.map.insert(item.namespace_name, std::move(new_keys));
    }
    delta_bytes_ += added_bytes;
    ++added_entries_;
  }

 private:
  Shard& shard_;
  RecentKeyMaps<KeyMap*> recent_;
  std::int64_t delta_bytes_ = 0;
  std::uint64_t added_entries_ = 0;
};

// Batches return to a few namespaces, interleaved: each distinct name is hashed
// about once. Direct-mapped on the name's length and last byte, which tell apart
// names that differ in a trailing counter; a slot is trusted only on equal bytes.
class ShardMemo {
 public:
  unsigned char shard_of(std::string_view name) {
    Slot& slot = slots_[(name.size() * 7 + (name.empty() ? 0 : static_cast<unsigned char>(name.back()))) % kSlots];
    if (!slot.filled || !NameEqual{}(slot.name, name)) slot = {name, static_cast<unsigned char>(shard_index(name)), true};
    return slot.shard;
  }

 private:
  struct Slot {
    std::string_view name;
    unsigned char shard = 0;
    bool filled = false;
  };
  static constexpr std::size_t kSlots = 16;
  std::array<Slot, kSlots> slots_{};
};

// Counting sort of input positions by shard: positions of shard s are
// order[begin[s] .. begin[s+1]), in input order.
struct ShardBuckets {
  std::vector<std::size_t> order;
  std::array<std::size_t, kShardCount + 1> begin{};

  template <class NameOf>
  ShardBuckets(std::size_t count, NameOf&& name_of) : order(count) {
    std::vector<unsigned char> shard_of(count);
    ShardMemo memo;
    for (std::size_t i = 0; i < count; ++i) {
      shard_of[i] = memo.shard_of(name_of(i));
      ++begin[shard_of[i] + 1];
    }
    for (std::size_t s = 0; s < kShardCount; ++s) begin[s + 1] += begin[s];
    std::array<std::size_t, kShardCount> next{};
    std::copy_n(begin.begin(), kShardCount, next.begin());
    for (std::size_t i = 0; i < count; ++i) order[next[shard_of[i]]++] = i;
  }
};

// Whether `now` (null when absent) is still the key map `seen` was cloned from.
bool unchanged(const KeyMap* now, const KeyMap& seen) noexcept {
  return now == nullptr ? seen.empty() : (seen.empty() ? now->empty() : now->same(seen));
}

// A logged store applies a batch as one record, so its shards are locked together
// (as set_many_atomic does): replaying the record must give what readers saw.
std::vector<Operation> set_operations(std::vector<WriteView>& items) {
  std::vector<Operation> operations;
  operations.reserve(items.size());
  for (WriteView& item : items) operations.push_back(Operation::set(item.namespace_name, item.key, std::move(item.value)));
  return operations;
}

}  // namespace

namespace detail {

// Every live store, so that fork() can quiesce them all. Created with the first
// store and never destroyed: stores may outlive static destruction. The list lock
// is taken before any store lock and never while one is held.
class LiveStores {
 public:
  static LiveStores& instance() noexcept {
    static LiveStores* live = new LiveStores();
    return *live;
  }

  void add(Store& store) noexcept {
    std::lock_guard lock(mutex_);
    store.live_next_ = head_;
    if (head_ != nullptr) head_->live_prev_ = &store;
    head_ = &store;
  }
  void remove(Store& store) noexcept {
    std::lock_guard lock(mutex_);
    (store.live_prev_ != nullptr ? store.live_prev_->live_next_ : head_) = store.live_next_;
    if (store.live_next_ != nullptr) store.live_next_->live_prev_ = store.live_prev_;
  }

 private:
  // A store created or destroyed while the fork runs waits for the list lock; one
  // destroyed part way in the parent is, in the child, left alive and unlisted.
  LiveStores() noexcept {
    fork_hooks::add(fork_hooks::Rank::kStores, &before_fork, &after_fork_in_parent, &after_fork_in_child);
  }

  static void before_fork() noexcept {
    LiveStores& live = instance();
    live.mutex_.lock();
    for (Store* store = live.head_; store != nullptr; store = store->live_next_) store->lock_all();
  }
  static void after_fork_in_parent() noexcept {
    LiveStores& live = instance();
    for (Store* store = live.head_; store != nullptr; store = store->live_next_) store->unlock_all();
    live.mutex_.unlock();
  }
  static void after_fork_in_child() noexcept {
    // The child's only thread: nothing else can hold these, and what they guard
    // was left whole by before_fork().
    LiveStores& live = instance();
    for (Store* store = live.head_; store != nullptr; store = store->live_next_) store->after_fork_in_child();
    new (&live.mutex_) std::mutex();
  }

  std::mutex mutex_;
  Store* head_ = nullptr;
};

}  // namespace detail

Store::Store(std::optional<std::uint64_t> max_history) noexcept : max_history_(max_history) {
  detail::LiveStores::instance().add(*this);
}

Store::~Store() {
  if (journal_) journal_->detach();
  detail::LiveStores::instance().remove(*this);
}

void Store::lock_all() noexcept {
  for (Shard& shard : shards_) shard.mutex.lock();
  if (journal_) journal_->lock_for_fork();
  history_mutex_.lock();
  last_id_mutex_.lock();
}

void Store::unlock_all() noexcept {
  last_id_mutex_.unlock();
  history_mutex_.unlock();
  if (journal_) journal_->unlock_after_fork();
  for (std::size_t s = kShardCount; s-- > 0;) shards_[s].mutex.unlock();
}

void Store::after_fork_in_child() noexcept {
  // Unlocking would not do: a lock taken for writing is released only by the
  // thread that took it, and the child's thread is a different one. Built over
  // the old ones without destroying them, as destroying a held lock is undefined.
  for (Shard& shard : shards_) new (&shard.mutex) std::shared_mutex();
  new (&history_mutex_) std::shared_mutex();
  new (&last_id_mutex_) std::mutex();
  if (journal_) journal_->renew_in_child();
  // Snapshots the child takes from now on are its own: a delta of one of them
  // must never be appended to a file its parent continues.
  lineage_ = new_lineage();
}

void Store::set(std::string_view namespace_name, std::string_view key, EncodedValue value) {
  if (journal_) {
    apply_one(Operation::set(namespace_name, key, std::move(value)));
    return;
  }
  Shard& shard = shard_for(namespace_name);
  // Declared before the lock, so a replaced value left in it is freed after unlocking.
  WriteView item{namespace_name, key, std::move(value)};
  WriteLock lock(shard.mutex);
  ShardWriter(shard).put(item);
}

EncodedValue Store::get(std::string_view namespace_name, std::string_view key) const {
  const Shard& shard = shard_for(namespace_name);
  ReadLock lock(shard.mutex);
  if (const KeyMap* keys = shard.map.find(namespace_name)) {
    if (const EncodedValue* value = keys->find(key)) return *value;
  }
  return {};
}

bool Store::contains(std::string_view namespace_name, std::string_view key) const {
  const Shard& shard = shard_for(namespace_name);
  ReadLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(namespace_name);
  return keys != nullptr && keys->find(key) != nullptr;
}

bool Store::contains_namespace(std::string_view namespace_name) const {
  const Shard& shard = shard_for(namespace_name);
  ReadLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(namespace_name);
  return keys != nullptr && !keys->empty();
}

bool Store::delete_key(std::string_view namespace_name, std::string_view key) {
  if (journal_) {
    return apply_one(Operation::delete_key(namespace_name, key)) != 0;
  }
  Shard& shard = shard_for(namespace_name);
  // Declared before the lock so the removed entries are freed after unlocking.
  std::optional<std::pair<std::string, KeyMap>> removed_namespace;
  std::optional<std::pair<std::string, EncodedValue>> removed_pair;
  WriteLock lock(shard.mutex);
  // Probe read-only first: a miss must not copy the path of a shared map.
  const KeyMap* keys = shard.map.find(namespace_name);
  if (keys == nullptr) return false;
  const EncodedValue* value = keys->find(key);
  if (value == nullptr) return false;
  const std::uint64_t removed_bytes = value->size();
  if (keys->size() == 1) {
    // The namespace's last key: dropping the namespace removes both in one update,
    // so a failed allocation cannot leave an empty key map behind.
    removed_namespace = shard.map.remove(namespace_name);
  } else {
    removed_pair = shard.map.find_for_update(namespace_name)->remove(key);
  }
  shard.bytes.fetch_sub(removed_bytes, std::memory_order_relaxed);
  --shard.entries;
  return true;
}

void Store::set_many(std::vector<WriteItem> items) {
  std::vector<WriteView> views;
  views.reserve(items.size());
  for (WriteItem& item : items) views.push_back({item.namespace_name, item.key, std::move(item.value)});
  set_many(std::move(views));
}

void Store::set_many(std::vector<WriteView> items) {
  if (items.empty()) return;
  if (journal_) {
    apply(set_operations(items), Fit::kLenient);
    return;
  }
  const ShardBuckets buckets(items.size(), [&](std::size_t i) -> std::string_view {
    return items[i].namespace_name;
  });
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (buckets.begin[s] == buckets.begin[s + 1]) continue;
    Shard& shard = shards_[s];
    WriteLock lock(shard.mutex);
    // Items are written in place one by one. Each is written whole or not at all;
    // if an allocation fails midway, the items before it stay written, the counters
    // match the map, and the lock is released on the way out.
    ShardWriter writer(shard);
    for (std::size_t at = buckets.begin[s]; at < buckets.begin[s + 1]; ++at) {
      const std::size_t i = buckets.order[at];
      writer.put(items[i]);  // a replaced value waits in the item until `items` goes
    }
  }
}

bool Store::add(std::string_view namespace_name, std::string_view key, EncodedValue value) {
  if (journal_) {
    Operation op = Operation::set(namespace_name, key, std::move(value));
    op.only_if_absent = true;
    return apply_one(op) != 0;
  }
  Shard& shard = shard_for(namespace_name);
  WriteView item{namespace_name, key, std::move(value)};
  WriteLock lock(shard.mutex);
  // Probe read-only first: a present pair must not copy the path of a shared map.
  if (const KeyMap* keys = shard.map.find(namespace_name); keys != nullptr && keys->find(key) != nullptr) {
    return false;
  }
  ShardWriter(shard).put(item);
  return true;
}

std::uint64_t Store::add_many(std::vector<WriteView> items) {
  std::vector<Operation> operations = set_operations(items);
  for (Operation& op : operations) op.only_if_absent = true;
  const std::vector<std::uint64_t> effects = apply(operations, Fit::kLenient);
  return static_cast<std::uint64_t>(std::count(effects.begin(), effects.end(), 1));
}

std::uint64_t Store::delete_namespace(std::string_view namespace_name) {
  if (journal_) {
    return apply_one(Operation::delete_namespace(namespace_name));
  }
  Shard& shard = shard_for(namespace_name);
  // The lengths are summed from a clone with no lock held; under the lock the map is
  // checked to be that very clone, and summed again only if a writer got in between.
  const KeyMap seen = key_map(namespace_name);
  std::uint64_t bytes = value_bytes(seen);
  std::optional<std::pair<std::string, KeyMap>> removed;  // freed after unlocking
  WriteLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(namespace_name);
  if (keys == nullptr) return 0;
  if (!unchanged(keys, seen)) bytes = value_bytes(*keys);
  removed = shard.map.remove(namespace_name);
  const std::uint64_t count = removed->second.size();
  shard.bytes.fetch_sub(bytes, std::memory_order_relaxed);
  shard.entries -= count;
  return count;
}

std::uint64_t Store::copy_namespace(std::string_view source, std::string_view target) {
  if (journal_) {
    return apply_one(Operation::copy_namespace(source, target));
  }
  if (source == target) return key_map(source).size();
  KeyMap copy = key_map(source);
  std::uint64_t copy_bytes = value_bytes(copy);
  const KeyMap old_seen = key_map(target);
  std::uint64_t old_bytes = value_bytes(old_seen);
  // Freed after unlocking: the target's previous key map.
  std::optional<std::pair<std::string, KeyMap>> removed;
  KeyMap replaced;
  const std::size_t source_index = shard_index(source);
  const std::size_t target_index = shard_index(target);
  Shard& target_shard = shards_[target_index];
  ReadLock source_lock;
  WriteLock target_lock;
  if (source_index < target_index) source_lock = ReadLock(shards_[source_index].mutex);
  target_lock = WriteLock(target_shard.mutex);
  if (source_index > target_index) source_lock = ReadLock(shards_[source_index].mutex);
  // One shard: the target's write lock covers the source as well.
  const KeyMap* source_now = shards_[source_index].map.find(source);
  if (!unchanged(source_now, copy)) {
    copy = source_now != nullptr ? *source_now : KeyMap();
    copy_bytes = value_bytes(copy);
  }
  const KeyMap* target_now = target_shard.map.find(target);
  if (!unchanged(target_now, old_seen)) old_bytes = target_now != nullptr ? value_bytes(*target_now) : 0;
  const std::uint64_t old_count = target_now != nullptr ? target_now->size() : 0;
  const std::uint64_t count = copy.size();
  if (count == 0) {
    if (target_now == nullptr) return 0;
    removed = target_shard.map.remove(target);
  } else if (target_now != nullptr) {
    KeyMap* slot = target_shard.map.find_for_update(target);
    replaced = std::exchange(*slot, std::move(copy));
  } else {
    target_shard.map.insert(target, std::move(copy));
  }
  add_signed(target_shard.bytes, static_cast<std::int64_t>(copy_bytes) - static_cast<std::int64_t>(old_bytes));
  target_shard.entries = target_shard.entries + count - old_count;
  return count;
}

void Store::set_many_atomic(std::vector<WriteView> items) {
  if (journal_) {
    if (!items.empty()) apply(set_operations(items), Fit::kLenient);
    return;
  }
  if (items.size() <= 1) {  // one write is whole or absent already, with no copy to keep
    set_many(std::move(items));
    return;
  }
  const ShardBuckets buckets(items.size(), [&](std::size_t i) -> std::string_view {
    return items[i].namespace_name;
  });
  // The maps as they were, to put back if an allocation fails; declared before the
  // locks, so what they alone hold is freed after unlocking.
  std::array<ShardMap, kShardCount> before;
  std::array<std::uint64_t, kShardCount> entries_before{};
  std::array<std::uint64_t, kShardCount> bytes_before{};
  std::array<WriteLock, kShardCount> locks;
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (buckets.begin[s] != buckets.begin[s + 1]) locks[s] = WriteLock(shards_[s].mutex);
  }
  std::size_t done = 0;  // shards below this index have been saved (and maybe written)
  try {
    for (; done < kShardCount; ++done) {
      if (buckets.begin[done] == buckets.begin[done + 1]) continue;
      Shard& shard = shards_[done];
      before[done] = shard.map;
      entries_before[done] = shard.entries;
      bytes_before[done] = shard.bytes.load(std::memory_order_relaxed);
      ShardWriter writer(shard);
      for (std::size_t at = buckets.begin[done]; at < buckets.begin[done + 1]; ++at) {
        writer.put(items[buckets.order[at]]);
      }
    }
  } catch (...) {
    for (std::size_t s = 0; s <= done && s < kShardCount; ++s) {
      if (buckets.begin[s] == buckets.begin[s + 1]) continue;
      shards_[s].map = before[s];
      shards_[s].entries = entries_before[s];
      shards_[s].bytes.store(bytes_before[s], std::memory_order_relaxed);
    }
    throw;
  }
}

std::vector<EncodedValue> Store::get_many(const std::vector<KeyPath>& pairs) const {
  fault::fault_point();
  std::vector<EncodedValue> results(pairs.size());
  if (pairs.empty()) return results;
  const ShardBuckets buckets(pairs.size(), [&](std::size_t i) -> std::string_view {
    return pairs[i].namespace_name;
  });
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (buckets.begin[s] == buckets.begin[s + 1]) continue;
    const Shard& shard = shards_[s];
    ReadLock lock(shard.mutex);
    RecentKeyMaps<const KeyMap*> recent;
    for (std::size_t at = buckets.begin[s]; at < buckets.begin[s + 1]; ++at) {
      const KeyPath& pair = pairs[buckets.order[at]];
      const KeyMap* keys = recent.get(pair.namespace_name, [&](std::string_view name) { return shard.map.find(name); });
      if (keys == nullptr) continue;
      if (const EncodedValue* value = keys->find(pair.key)) results[buckets.order[at]] = *value;
    }
  }
  return results;
}

KeyMap Store::key_map(std::string_view namespace_name) const {
  const Shard& shard = shard_for(namespace_name);
  ReadLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(namespace_name);
  return keys != nullptr ? *keys : KeyMap();
}

ShardMap Store::shard_map(std::size_t shard) const {
  ReadLock lock(shards_[shard].mutex);
  return shards_[shard].map;
}

std::vector<std::string> Store::keys(std::string_view namespace_name, std::optional<std::string_view> prefix) const {
  std::vector<std::string> result;
  const KeyMap keys = key_map(namespace_name);  // walked with no lock held
  const std::string_view filter = prefix.value_or(std::string_view());
  if (filter.empty()) result.reserve(keys.size());
  keys.for_each([&](const std::string& key, const EncodedValue&) {
    if (!has_prefix(key, filter)) return;
    fault::fault_point();
    result.push_back(key);
  });
  return result;
}

std::optional<std::string> Store::max_key(std::string_view namespace_name) const {
  const KeyMap keys = key_map(namespace_name);  // walked with no lock held
  const std::string* greatest = nullptr;
  // std::string compares through char_traits<char>, which orders bytes as
  // unsigned: byte order of UTF-8, which is code point order.
  keys.for_each([&](const std::string& key, const EncodedValue&) {
    if (greatest == nullptr || *greatest < key) greatest = &key;
  });
  if (greatest == nullptr) return std::nullopt;
  return *greatest;
}

namespace {

// A key of the namespace a scan walks, pointing into the clone it walks.
struct ScanCandidate {
  const std::string* key;
  const EncodedValue* value;
};

// Whether `name` lies in the range's prefix and [start, stop) bounds (its filter aside).
// std::string_view compares through char_traits<char>: unsigned bytes, which for
// UTF-8 is code point order.
bool in_scan_bounds(std::string_view name, const ScanRange& range) noexcept {
  if (!has_prefix(name, range.prefix.value_or(std::string_view()))) return false;
  if (range.start && name < *range.start) return false;
  if (range.stop && !(name < *range.stop)) return false;
  return true;
}

// The heap path, for a limit well below the namespace's size: a heap of the best
// `limit` keys seen so far, its top the worst of them, so O(n log k) with k slots
// instead of n. The result is unordered.
template <class Before>
std::vector<ScanCandidate> best_by_heap(const KeyMap& keys, const ScanRange& range, std::uint64_t limit,
                                        const Before& before) {
  std::vector<ScanCandidate> heap;
  if (limit == 0) return heap;
  fault::fault_point();
  heap.reserve(limit + 1);  // the heap never grows past this
  keys.for_each([&](const std::string& key, const EncodedValue& value) {
    if (!in_scan_bounds(key, range)) return;
    const ScanCandidate candidate{&key, &value};
    // Already full and not better than the worst kept: skip before filtering.
    if (heap.size() == limit && !before(candidate, heap.front())) return;
    if (range.filter && !range.filter(value)) return;
    heap.push_back(candidate);
    std::push_heap(heap.begin(), heap.end(), before);
    if (heap.size() > limit) {
      std::pop_heap(heap.begin(), heap.end(), before);
      heap.pop_back();
    }
  });
  return heap;
}

// The selection path: every key in bounds whose value passes the filter, then the
// best `limit` of them picked by a partial selection. The result is unordered.
template <class Before>
std::vector<ScanCandidate> best_by_selection(const KeyMap& keys, const ScanRange& range, const Before& before) {
  std::vector<ScanCandidate> picked;
  keys.for_each([&](const std::string& key, const EncodedValue& value) {
    if (!in_scan_bounds(key, range)) return;
    if (range.filter && !range.filter(value)) return;
    fault::fault_point();
    picked.push_back({&key, &value});
  });
  if (range.limit && *range.limit < picked.size()) {
    const auto cut = picked.begin() + static_cast<std::ptrdiff_t>(*range.limit);
    std::nth_element(picked.begin(), cut, picked.end(), before);
    picked.erase(cut, picked.end());
  }
  return picked;
}

}  // namespace

std::vector<ScanEntry> Store::scan(std::string_view namespace_name, const ScanRange& range) const {
  const KeyMap keys = key_map(namespace_name);  // walked with no lock held
  const auto before = [reverse = range.reverse](const ScanCandidate& a, const ScanCandidate& b) {
    return reverse ? *b.key < *a.key : *a.key < *b.key;
  };
  std::vector<ScanCandidate> picked = range.limit && *range.limit < keys.size() / 4
                                          ? best_by_heap(keys, range, *range.limit, before)
                                          : best_by_selection(keys, range, before);
  std::sort(picked.begin(), picked.end(), before);
  std::vector<ScanEntry> result;
  result.reserve(picked.size());
  for (const ScanCandidate& candidate : picked) result.push_back({*candidate.key, *candidate.value});
  return result;
}

std::vector<std::string> Store::namespaces(std::optional<std::string_view> prefix) const {
  std::vector<std::string> result;
  const std::string_view filter = prefix.value_or(std::string_view());
  for (std::size_t s = 0; s < kShardCount; ++s) {
    const ShardMap names = shard_map(s);  // walked with no lock held
    names.for_each([&](const std::string& name, const KeyMap& keys) {
      if (keys.empty() || !has_prefix(name, filter)) return;
      fault::fault_point();
      result.push_back(name);
    });
  }
  return result;
}

void Store::clear() {
  if (journal_) {
    apply_one(Operation::clear());
    return;
  }
  for (Shard& shard : shards_) {
    ShardMap previous;  // freed after unlocking
    WriteLock lock(shard.mutex);
    previous = std::exchange(shard.map, ShardMap());
    shard.entries = 0;
    shard.bytes.store(0, std::memory_order_relaxed);
    lock.unlock();
  }
}

std::uint64_t Store::entry_count() const {
  std::uint64_t total = 0;
  for (const Shard& shard : shards_) {
    ReadLock lock(shard.mutex);
    total += shard.entries;
  }
  return total;
}

SnapshotRef Store::snapshot() {
  // Allocated first: once the locks are held nothing below can fail.
  fault::fault_point();
  auto record = std::make_shared<SnapshotData>();
  copy_state(*record, nullptr);
  record->id = next_id_.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(last_id_mutex_);
    record->parent = std::exchange(last_snapshot_id_, record->id);
  }
  record->timestamp = wall_clock_seconds();
  SnapshotRef shared = std::move(record);
  if (!max_history_ || *max_history_ > 0) {
    SnapshotRef evicted;  // freed after unlocking
    std::unique_lock lock(history_mutex_);
    fault::fault_point();  // growing the queue can fail with the lock held
    history_.push_back(shared);
    // The queue held at most max_history records before, so at most one goes.
    if (max_history_ && history_.size() > *max_history_) {
      evicted = std::move(history_.front());
      history_.pop_front();
    }
  }
  return shared;
}

std::vector<SnapshotRef> Store::history() const {
  std::shared_lock lock(history_mutex_);
  return std::vector<SnapshotRef>(history_.begin(), history_.end());
}

void Store::clear_history() {
  std::deque<SnapshotRef> dropped;  // freed after unlocking
  std::unique_lock lock(history_mutex_);
  dropped.swap(history_);
  lock.unlock();
}

void Store::restore(const SnapshotData& record) {
  if (journal_) {
    restore_logged(record);
    return;
  }
  std::array<ShardMap, kShardCount> replaced;  // freed after the locks are released
  std::array<WriteLock, kShardCount> locks;
  for (std::size_t s = 0; s < kShardCount; ++s) locks[s] = WriteLock(shards_[s].mutex);
  install_locked(record, replaced);
}

void Store::copy_state(SnapshotData& record, JournalCursor* cursor) const {
  record.lineage = lineage_;
  std::array<ReadLock, kShardCount> locks;
  for (std::size_t s = 0; s < kShardCount; ++s) locks[s] = ReadLock(shards_[s].mutex);
  for (std::size_t s = 0; s < kShardCount; ++s) {
    record.shard_maps[s] = shards_[s].map;
    record.shard_bytes[s] = shards_[s].bytes.load(std::memory_order_relaxed);
    record.shard_entries[s] = shards_[s].entries;
    record.size_bytes += record.shard_bytes[s];
  }
  if (cursor != nullptr) *cursor = journal_ ? journal_->cursor() : JournalCursor{};
}

void Store::install_locked(const SnapshotData& record, std::array<ShardMap, kShardCount>& replaced) noexcept {
  for (std::size_t s = 0; s < kShardCount; ++s) {
    replaced[s] = std::exchange(shards_[s].map, record.shard_maps[s]);
    shards_[s].entries = record.shard_entries[s];
    shards_[s].bytes.store(record.shard_bytes[s], std::memory_order_relaxed);
  }
}

}  // namespace tallowmere
