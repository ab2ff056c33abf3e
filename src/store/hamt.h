// store/hamt.h: persistent hash map, CHAMP layout (nodes in hamt_node.h, diff walk in
// hamt_diff.h).
// * clone() is one relaxed increment of the root's count; every older version stays
//   readable. A write copies the root-to-slot path where it is shared and edits in
//   place where it is private, which holds for a node only when its count is 1 and
//   every node above it is private too: ownership is decided top-down on the way
//   down, and edits are applied bottom-up after every allocation and copy succeeded,
//   so std::bad_alloc (or a throwing key copy) leaves the map exactly as it was.
// * Canonical form: each non-root node holds at least two keys beneath it, collision
//   nodes sit only at depth 13, and removal hands a lone survivor up to the nearest
//   ancestor with other content. The shape is a function of the key set and the hash
//   alone, whatever the history of writes.
// * Cost: lookup hashes once and visits at most 14 nodes; a write copies at most the
//   14 nodes of one path (each 16 + sizeof(entry) * entries + 8 * children bytes), and
//   an insert that splits two keys adds a branch of up to 13 small nodes; a missing
//   key, or a value replaced by the very same stored object, copies nothing.
// * diff() walks two maps jointly and skips subtrees they share by pointer, so its cost
//   follows the change between them, not their size.
// Threads: a map object needs external locking for writes (one writer, or readers);
// clones of it may live and die on other threads at any time, since published nodes
// are never written and their counts are atomic.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/siphash.h"
#include "store/hamt_diff.h"
#include "store/hamt_node.h"

namespace tallowmere {

// Default hasher: SipHash-1-3 keyed with the per-process random seed. All maps of a
// process agree on it, so maps built apart (another store, a re-created namespace)
// still diff structurally.
struct SipHasher {
  std::uint64_t operator()(std::string_view bytes) const noexcept {
    return process_siphash13(bytes.data(), bytes.size());
  }
  bool operator==(const SipHasher&) const noexcept = default;
};

template <class Key, class Value, class Hasher = SipHasher, class KeyEqual = std::equal_to<>>
class PersistentMap {
  using Node = hamt_detail::Node;
  using Entry = hamt_detail::Entry<Key, Value>;
  using Ops = hamt_detail::NodeOps<Entry>;
  using Shell = hamt_detail::Shell;
  static constexpr unsigned kCollisionDepth = hamt_detail::kCollisionDepth;
  static constexpr unsigned kMaxDepth = hamt_detail::kMaxDepth;

 public:
  class const_iterator;

  PersistentMap() noexcept = default;
  explicit PersistentMap(Hasher hasher) noexcept : hasher_(std::move(hasher)) {}

  PersistentMap(const PersistentMap& other) noexcept
      : root_(other.root_), size_(other.size_), hasher_(other.hasher_), equal_(other.equal_) {
    if (root_ != nullptr) hamt_detail::retain(root_);
  }
  PersistentMap& operator=(const PersistentMap& other) noexcept {
    if (other.root_ != nullptr) hamt_detail::retain(other.root_);
    Node* previous = std::exchange(root_, other.root_);
    size_ = other.size_;
    hasher_ = other.hasher_;
    equal_ = other.equal_;
    if (previous != nullptr) Ops::release(previous, 0);
    return *this;
  }
  PersistentMap(PersistentMap&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        hasher_(other.hasher_),
        equal_(other.equal_) {}
  PersistentMap& operator=(PersistentMap&& other) noexcept {
    if (this != &other) {
      Node* previous = std::exchange(root_, std::exchange(other.root_, nullptr));
      size_ = std::exchange(other.size_, 0);
      hasher_ = other.hasher_;
      equal_ = other.equal_;
      if (previous != nullptr) Ops::release(previous, 0);
    }
    return *this;
  }
  ~PersistentMap() {
    if (root_ != nullptr) Ops::release(root_, 0);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Same non-null root: the two maps are one shared structure (a map and its clone).
  bool same(const PersistentMap& other) const noexcept { return root_ != nullptr && root_ == other.root_; }

  // Nullptr when absent. The pointer is valid until the next write to this map.
  template <class K = Key>
  const Value* find(const K& key) const {
    if (root_ == nullptr) return nullptr;
    const Entry* entry = Ops::find_below(root_, 0, hash_of(key), key, equal_);
    return entry != nullptr ? &entry->value : nullptr;
  }

  bool contains(const Key& key) const { return find(key) != nullptr; }

  // Makes the path to the key private (copying shared nodes) and returns its value for
  // editing in place; an absent key gives nullptr and copies nothing. The pointer is
  // valid until the next write to or clone of this map.
  template <class K = Key>
  Value* find_for_update(const K& key) {
    if (root_ == nullptr) return nullptr;
    const std::uint64_t hash = hash_of(key);
    Path path;
    descend(key, hash, path);
    if (path.landing != Landing::kSameKey) return nullptr;
    const unsigned depth = path.bottom;
    Node* bottom = path.frames[depth].node;
    if (path.frames[depth].owned) return &Ops::entries(bottom)[path.entry_index].value;
    Node* fresh = copy_node(bottom, depth);
    relink_above(path, depth, hash, fresh);
    return &Ops::entries(fresh)[path.entry_index].value;
  }

  // Returns the value that was replaced, if any. `key` may be anything the hasher
  // and KeyEqual take beside a Key (a string_view for string keys): a Key is made
  // from it only when the key is new, so overwriting copies no key.
  template <class K = Key>
  std::optional<Value> insert(K&& key, Value value) {
    const std::uint64_t hash = hash_of(key);
    if (root_ == nullptr) {
      const std::uint32_t bit = hamt_detail::bit_at(hash, 0);
      Shell shell(Ops::inner_bytes(1, 0));
      Entry added{stored_key(std::forward<K>(key)), std::move(value)};
      root_ = Ops::template build_inner<true>(shell.release(), nullptr, {bit, 0, bit, &added, nullptr});
      size_ = 1;
      return std::nullopt;
    }
    Path path;
    descend(key, hash, path);
    const unsigned depth = path.bottom;
    Node* bottom = path.frames[depth].node;
    const bool owned = path.frames[depth].owned;
    switch (path.landing) {
      case Landing::kSameKey: {
        Entry& slot = Ops::entries(bottom)[path.entry_index];
        if (same_stored_value(slot.value, value)) return std::optional<Value>(slot.value);
        if (owned) return std::optional<Value>(std::exchange(slot.value, std::move(value)));
        std::optional<Value> replaced(slot.value);
        Entry updated{slot.key, std::move(value)};
        Node* fresh = copy_node(bottom, depth, path.entry_index, &updated, hash);
        relink_above(path, depth, hash, fresh);
        return replaced;
      }
      case Landing::kEmptySlot: {
        const std::uint32_t bit = hamt_detail::bit_at(hash, depth);
        Entry added{stored_key(std::forward<K>(key)), std::move(value)};
        Shell shell(Ops::inner_bytes(Ops::entry_count(bottom, depth) + 1, Ops::child_count(bottom)));
        const typename Ops::InnerEdit edit{bottom->datamap | bit, bottom->nodemap, bit, &added, nullptr};
        Node* fresh = owned ? Ops::template build_inner<true>(shell.get(), bottom, edit)
                            : Ops::template build_inner<false>(shell.get(), bottom, edit);
        shell.release();
        if (owned) Ops::dispose_moved(bottom, depth);
        relink_above(path, depth, hash, fresh);
        ++size_;
        return std::nullopt;
      }
      case Landing::kCollisionMiss: {
        Entry added{stored_key(std::forward<K>(key)), std::move(value)};
        const unsigned count = bottom->datamap;
        Shell shell(Ops::collision_bytes(count + 1));
        Node* fresh =
            owned ? Ops::template build_collision<true>(shell.get(), bottom, hamt_detail::kNoIndex, count, &added)
                  : Ops::template build_collision<false>(shell.get(), bottom, hamt_detail::kNoIndex, count, &added);
        shell.release();
        if (owned) Ops::dispose_moved(bottom, depth);
        relink_above(path, depth, hash, fresh);
        ++size_;
        return std::nullopt;
      }
      case Landing::kOtherKey:
        push_down(path, hash, Entry{stored_key(std::forward<K>(key)), std::move(value)});
        ++size_;
        return std::nullopt;
    }
    return std::nullopt;
  }

  // Returns the removed entry, if the key was present. The root becomes null when the
  // last key goes.
  template <class K = Key>
  std::optional<std::pair<Key, Value>> remove(const K& key) {
    if (root_ == nullptr) return std::nullopt;
    const std::uint64_t hash = hash_of(key);
    Path path;
    descend(key, hash, path);
    if (path.landing != Landing::kSameKey) return std::nullopt;
    const unsigned depth = path.bottom;
    Node* bottom = path.frames[depth].node;
    const bool owned = path.frames[depth].owned;
    const unsigned index = path.entry_index;
    const unsigned entry_n = Ops::entry_count(bottom, depth);
    const unsigned child_n = depth == kCollisionDepth ? 0 : Ops::child_count(bottom);
    Entry& victim = Ops::entries(bottom)[index];

    std::optional<std::pair<Key, Value>> removed;
    if (!owned) removed.emplace(victim.key, victim.value);  // a shared victim stays where it is
    auto take_victim = [&] {
      if (owned) removed.emplace(std::move(victim.key), std::move(victim.value));
    };

    if (depth == 0 && entry_n == 1 && child_n == 0) {
      take_victim();
      Ops::release(std::exchange(root_, nullptr), 0);
      size_ = 0;
      return removed;
    }

    if (depth > 0 && entry_n == 2 && child_n == 0) {
      // The survivor would be alone in its node: it moves up to the nearest ancestor
      // that keeps other content, and the emptied branch below that ancestor goes.
      unsigned host_depth = depth - 1;
      while (host_depth > 0 && path.frames[host_depth].node->datamap == 0 &&
             Ops::child_count(path.frames[host_depth].node) == 1) {
        --host_depth;
      }
      Entry& survivor = Ops::entries(bottom)[1 - index];
      std::optional<Entry> survivor_copy;
      if (!owned) survivor_copy.emplace(survivor);
      Node* host = path.frames[host_depth].node;
      const bool host_owned = path.frames[host_depth].owned;
      const std::uint32_t bit = hamt_detail::bit_at(hash, host_depth);
      Shell shell(Ops::inner_bytes(Ops::entry_count(host, host_depth) + 1, Ops::child_count(host) - 1));
      const typename Ops::InnerEdit edit{host->datamap | bit, host->nodemap & ~bit, bit,
                                         owned ? &survivor : &*survivor_copy, nullptr};
      Node* fresh;
      if (host_owned) {
        fresh = Ops::template build_inner<true>(shell.release(), host, edit);
        take_victim();
        Ops::release(path.frames[host_depth + 1].node, host_depth + 1);
        Ops::dispose_moved(host, host_depth);
      } else {
        fresh = Ops::template build_inner<false>(shell.get(), host, edit);
        shell.release();
      }
      relink_above(path, host_depth, hash, fresh);
      --size_;
      return removed;
    }

    const std::uint32_t bit = hamt_detail::bit_at(hash, depth < kCollisionDepth ? depth : 0);
    if (owned) {
      take_victim();
      Ops::erase_entry_in_place(bottom, depth, index, bit);
      --size_;
      return removed;
    }
    Node* fresh;
    if (depth == kCollisionDepth) {
      Shell shell(Ops::collision_bytes(entry_n - 1));
      fresh = Ops::template build_collision<false>(shell.get(), bottom, index, hamt_detail::kNoIndex, nullptr);
      shell.release();
    } else {
      Shell shell(Ops::inner_bytes(entry_n - 1, child_n));
      fresh = Ops::template build_inner<false>(shell.get(), bottom, {bottom->datamap & ~bit, bottom->nodemap});
      shell.release();
    }
    relink_above(path, depth, hash, fresh);
    --size_;
    return removed;
  }

  // f(const Key&, const Value&) for every entry, in unspecified order; no recursion,
  // no allocation.
  template <class F>
  void for_each(F&& f) const {
    if (root_ != nullptr) Ops::for_each_below(root_, 0, f);
  }

  // Forward iterator over (const Key&, const Value&) pairs. Like any container
  // iterator it must not outlive the map version it walks: hold a clone to keep one.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::pair<const Key&, const Value&>;
    using reference = value_type;
    using difference_type = std::ptrdiff_t;
    struct pointer {
      value_type pair;
      const value_type* operator->() const noexcept { return &pair; }
    };

    const_iterator() noexcept = default;

    reference operator*() const noexcept { return {current_->key, current_->value}; }
    pointer operator->() const noexcept { return pointer{**this}; }
    const Entry& entry() const noexcept { return *current_; }
    const_iterator& operator++() noexcept {
      advance();
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator before = *this;
      advance();
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.current_ == b.current_;
    }

   private:
    friend class PersistentMap;
    struct Frame {
      const Node* node;
      std::uint32_t next_entry;
      std::uint32_t next_child;
    };

    // Walks the subtree of `node`, which sits at `depth` in its map.
    const_iterator(const Node* node, unsigned depth) noexcept {
      if (node == nullptr) return;
      base_ = static_cast<int>(depth);
      top_ = base_;
      stack_[top_] = {node, 0, 0};
      advance();
    }

    void advance() noexcept {
      while (top_ >= base_) {
        Frame& frame = stack_[top_];
        const unsigned depth = static_cast<unsigned>(top_);
        if (frame.next_entry < Ops::entry_count(frame.node, depth)) {
          current_ = &Ops::entries(frame.node)[frame.next_entry++];
          return;
        }
        if (depth < kCollisionDepth && frame.next_child < Ops::child_count(frame.node)) {
          const Node* child = Ops::children(frame.node)[frame.next_child++];
          ++top_;
          stack_[top_] = {child, 0, 0};
          continue;
        }
        --top_;
      }
      current_ = nullptr;
    }

    const Entry* current_ = nullptr;
    int base_ = 0;
    int top_ = -1;
    Frame stack_[kMaxDepth] = {};
  };

  const_iterator begin() const noexcept { return const_iterator(root_, 0); }
  const_iterator end() const noexcept { return const_iterator(); }

  // Reports how to go from `base` to `self`: added(k, v_self) for keys only in self,
  // removed(k, v_base) for keys only in base, both(k, v_base, v_self) for keys in both
  // whose values are not the very same stored object (the caller decides whether they
  // differ). Subtrees shared by pointer are skipped. added and both come in self's
  // iteration order, removed in base's. Maps hashed differently fall back to lookups
  // both ways.
  template <class Added, class Removed, class Both>
  static void diff(const PersistentMap& base, const PersistentMap& self, Added&& added, Removed&& removed,
                   Both&& both) {
    if (base.root_ == self.root_) return;
    if (!hashers_agree(base.hasher_, self.hasher_)) {
      self.for_each([&](const Key& key, const Value& value) {
        const Value* before = base.find(key);
        if (before == nullptr) {
          added(key, value);
        } else if (!same_stored_value(*before, value)) {
          both(key, *before, value);
        }
      });
      base.for_each([&](const Key& key, const Value& value) {
        if (self.find(key) == nullptr) removed(key, value);
      });
      return;
    }
    hamt_detail::DiffWalk<Entry, Hasher, KeyEqual, Added, Removed, Both> walk{self.hasher_, self.equal_, added, removed,
                                                                       both};
    if (base.root_ == nullptr) {
      Ops::for_each_below(self.root_, 0, added);
    } else if (self.root_ == nullptr) {
      Ops::for_each_below(base.root_, 0, removed);
    } else {
      walk.nodes(base.root_, self.root_, 0);
    }
  }

  // Tests and benchmarks: nodes alive in the whole process; always 0 unless built
  // with TALLOWMERE_HAMT_COUNT_NODES (dev builds).
  static constexpr bool counts_nodes() noexcept { return hamt_detail::kCountsNodes; }
  static std::int64_t live_nodes() noexcept {
    return hamt_detail::live_node_count.load(std::memory_order_relaxed);
  }

  // Tests: checks every structural invariant and throws InternalFailure on a broken one.
  void validate() const {
    if (root_ == nullptr) {
      if (size_ != 0) fail("empty map with a non-zero size");
      return;
    }
    if (root_->datamap == 0 && root_->nodemap == 0) fail("empty root node");
    const std::size_t counted = validate_node(root_, 0, 0);
    if (counted != size_) fail("size does not match the keys in the trie");
    std::size_t iterated = 0;
    for (const_iterator it = begin(); it != end(); ++it) ++iterated;
    if (iterated != size_) fail("iteration does not visit every key once");
  }

  // Tests only: the shape of the trie as text (bitmaps and keys per node,
  // depth-first; collision nodes list their keys sorted). Needs `out << key`.
  // `Stream` is std::ostringstream, a parameter so that this header, included by
  // every store file, need not pull in <sstream> for the tests' sake.
  template <class Stream>
  std::string structure() const {
    Stream out;
    if (root_ != nullptr) dump_node(out, root_, 0);
    return out.str();
  }

 private:
  enum class Landing { kEmptySlot, kSameKey, kOtherKey, kCollisionMiss };
  struct PathFrame {
    Node* node;
    bool owned;  // count 1 here and on every node above
  };
  struct Path {
    PathFrame frames[kMaxDepth];
    unsigned bottom;       // depth of the last node reached
    Landing landing;
    unsigned entry_index;  // kSameKey / kOtherKey: the entry's slot in the bottom node
  };

  // The key of a new entry, made from what insert was given. A long string key
  // allocates here, so it is a fault-injection point like every node allocation;
  // callers make it before they change anything.
  template <class K>
  static Key stored_key(K&& key) {
    fault::fault_point();
    return Key(std::forward<K>(key));
  }

  template <class K>
  std::uint64_t hash_of(const K& key) const noexcept(noexcept(std::declval<const Hasher&>()(key))) {
    return static_cast<std::uint64_t>(hasher_(key));
  }

  static bool hashers_agree(const Hasher& a, const Hasher& b) noexcept {
    if constexpr (std::equality_comparable<Hasher>) {
      return a == b;
    } else {
      return std::is_empty_v<Hasher>;
    }
  }

  static std::string hex(std::uint32_t bits) {
    char digits[8];
    return std::string(digits, std::to_chars(digits, digits + 8, bits, 16).ptr);
  }

  [[noreturn]] static void fail(const char* what) { throw InternalFailure(std::string("hamt: ") + what); }

  // Read-only walk from a non-null root to where `key` lives or would go; decides
  // ownership top-down (once shared, everything below counts as shared).
  template <class K>
  void descend(const K& key, std::uint64_t hash, Path& path) const {
    Node* node = root_;
    bool owned = hamt_detail::is_unique(node);
    for (unsigned depth = 0;; ++depth) {
      path.frames[depth] = {node, owned};
      path.bottom = depth;
      if (depth == kCollisionDepth) {
        Entry* slots = Ops::entries(node);
        for (unsigned i = 0; i < node->datamap; ++i) {
          if (equal_(slots[i].key, key)) {
            path.landing = Landing::kSameKey;
            path.entry_index = i;
            return;
          }
        }
        path.landing = Landing::kCollisionMiss;
        return;
      }
      const std::uint32_t bit = hamt_detail::bit_at(hash, depth);
      if (node->datamap & bit) {
        path.entry_index = hamt_detail::slot_of(node->datamap, bit);
        path.landing = equal_(Ops::entries(node)[path.entry_index].key, key) ? Landing::kSameKey : Landing::kOtherKey;
        return;
      }
      if (!(node->nodemap & bit)) {
        path.landing = Landing::kEmptySlot;
        return;
      }
      node = Ops::children(node)[hamt_detail::slot_of(node->nodemap, bit)];
      owned = owned && hamt_detail::is_unique(node);
    }
  }

  // A copy of shared `node` with the same slots, except that entry `replaced_index`
  // (if given) takes `replacement`.
  static Node* copy_node(const Node* node, unsigned depth, unsigned replaced_index = hamt_detail::kNoIndex,
                         Entry* replacement = nullptr, std::uint64_t hash = 0) {
    if (depth == kCollisionDepth) {
      Shell shell(Ops::collision_bytes(node->datamap));
      Node* fresh = Ops::template build_collision<false>(shell.get(), node, replaced_index, replaced_index, replacement);
      shell.release();
      return fresh;
    }
    Shell shell(Ops::inner_bytes(Ops::entry_count(node, depth), Ops::child_count(node)));
    const std::uint32_t bit = replacement != nullptr ? hamt_detail::bit_at(hash, depth) : 0;
    Node* fresh = Ops::template build_inner<false>(shell.get(), node, {node->datamap, node->nodemap, bit, replacement});
    shell.release();
    return fresh;
  }

  // The node at `depth` on `path` has been replaced by `fresh` (or edited in place,
  // when fresh is that very node). Points the path above at it: in place through
  // private nodes, by copying shared ones. Throws only while copying shared nodes,
  // before any in-place write; it then releases `fresh` (and so the copies below).
  void relink_above(const Path& path, unsigned depth, std::uint64_t hash, Node* fresh) {
    Node* old = path.frames[depth].node;
    bool old_owned = path.frames[depth].owned;
    while (fresh != old) {
      if (depth == 0) {
        root_ = fresh;
        if (!old_owned) Ops::release(old, 0);
        return;
      }
      --depth;
      const PathFrame& parent = path.frames[depth];
      const std::uint32_t bit = hamt_detail::bit_at(hash, depth);
      if (parent.owned) {
        // A private old child was already freed by the edit that replaced it.
        Ops::children(parent.node)[hamt_detail::slot_of(parent.node->nodemap, bit)] = fresh;
        if (!old_owned) Ops::release(old, depth + 1);
        return;
      }
      Node* copy;
      try {
        Shell shell(Ops::inner_bytes(Ops::entry_count(parent.node, depth), Ops::child_count(parent.node)));
        copy = Ops::template build_inner<false>(shell.get(), parent.node,
                                                {parent.node->datamap, parent.node->nodemap, bit, nullptr, fresh});
        shell.release();
      } catch (...) {
        Ops::release(fresh, depth + 1);
        throw;
      }
      old = parent.node;
      old_owned = false;
      fresh = copy;
    }
  }

  // Insert where another key holds the slot: both keys go down into a new branch of
  // single-child nodes ending where their hash fragments part (or in a collision node).
  void push_down(const Path& path, std::uint64_t hash, Entry added) {
    const unsigned depth = path.bottom;
    Node* bottom = path.frames[depth].node;
    const bool owned = path.frames[depth].owned;
    const std::uint32_t bit = hamt_detail::bit_at(hash, depth);
    Entry& resident = Ops::entries(bottom)[path.entry_index];
    const std::uint64_t resident_hash = hash_of(resident.key);
    std::optional<Entry> resident_copy;
    if (!owned) resident_copy.emplace(resident);

    unsigned split = depth + 1;
    while (split < kCollisionDepth &&
           hamt_detail::fragment(resident_hash, split) == hamt_detail::fragment(hash, split)) {
      ++split;
    }
    // Allocate everything before moving anything.
    Shell bottom_shell(Ops::inner_bytes(Ops::entry_count(bottom, depth) - 1, Ops::child_count(bottom) + 1));
    Shell branch_shells[kMaxDepth];
    for (unsigned d = depth + 1; d <= split; ++d) {
      branch_shells[d] = Shell(d < split                  ? Ops::inner_bytes(0, 1)
                               : split == kCollisionDepth ? Ops::collision_bytes(2)
                                                          : Ops::inner_bytes(2, 0));
    }
    Entry& displaced = owned ? resident : *resident_copy;
    Node* branch = Ops::build_pair(branch_shells[split].release(), split, displaced, resident_hash, added, hash);
    for (unsigned d = split - 1; d > depth; --d) {
      const std::uint32_t link = hamt_detail::bit_at(hash, d);
      branch = Ops::template build_inner<true>(branch_shells[d].release(), nullptr, {0, link, link, nullptr, branch});
    }
    const typename Ops::InnerEdit edit{bottom->datamap & ~bit, bottom->nodemap | bit, bit, nullptr, branch};
    Node* fresh;
    if (owned) {
      fresh = Ops::template build_inner<true>(bottom_shell.release(), bottom, edit);
      Ops::dispose_moved(bottom, depth);
    } else {
      try {
        fresh = Ops::template build_inner<false>(bottom_shell.get(), bottom, edit);
      } catch (...) {
        Ops::release(branch, depth + 1);
        throw;
      }
      bottom_shell.release();
    }
    relink_above(path, depth, hash, fresh);
  }

  static std::uint64_t levels_mask(unsigned depth) noexcept {
    const unsigned bits = hamt_detail::kBitsPerLevel * (depth + 1);
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  }

  // Returns the number of keys beneath `node`; `prefix` holds the hash bits that the
  // path to it has fixed.
  std::size_t validate_node(const Node* node, unsigned depth, std::uint64_t prefix) const {
    if (node->refs.load(std::memory_order_relaxed) == 0) fail("reachable node with count 0");
    if (depth == kCollisionDepth) {
      if (node->tag != hamt_detail::kCollisionTag || node->nodemap != 0) fail("inner node at the collision depth");
      if (node->datamap < 2) fail("collision node with fewer than two entries");
      const Entry* slots = Ops::entries(node);
      for (unsigned i = 0; i < node->datamap; ++i) {
        if (hash_of(slots[i].key) != prefix) fail("collision entry with a different hash");
        for (unsigned j = 0; j < i; ++j) {
          if (equal_(slots[j].key, slots[i].key)) fail("duplicate key in a collision node");
        }
      }
      return node->datamap;
    }
    if (node->tag != hamt_detail::kInnerTag) fail("collision node above the collision depth");
    if (node->datamap & node->nodemap) fail("entry and child bitmaps overlap");
    if (depth == kCollisionDepth - 1 && ((node->datamap | node->nodemap) >> 16) != 0) {
      fail("slot beyond the last 4 hash bits");
    }
    const std::uint64_t mask = levels_mask(depth);
    std::size_t keys = 0;
    const Entry* slots = Ops::entries(node);
    for (std::uint32_t pending = node->datamap; pending != 0; pending &= pending - 1) {
      const std::uint32_t bit = pending & (~pending + 1);
      const unsigned frag = static_cast<unsigned>(std::countr_zero(bit));
      const std::uint64_t expected = prefix | (std::uint64_t{frag} << (hamt_detail::kBitsPerLevel * depth));
      if ((hash_of(slots[keys].key) & mask) != expected) fail("entry in a slot its hash does not lead to");
      ++keys;
    }
    Node* const* kids = Ops::children(node);
    unsigned child = 0;
    for (std::uint32_t pending = node->nodemap; pending != 0; pending &= pending - 1, ++child) {
      const std::uint32_t bit = pending & (~pending + 1);
      const unsigned frag = static_cast<unsigned>(std::countr_zero(bit));
      const std::uint64_t child_prefix = prefix | (std::uint64_t{frag} << (hamt_detail::kBitsPerLevel * depth));
      keys += validate_node(kids[child], depth + 1, child_prefix);
    }
    if (depth > 0 && keys < 2) fail("non-root node with fewer than two keys beneath it");
    return keys;
  }

  template <class Stream>
  void dump_node(Stream& out, const Node* node, unsigned depth) const {
    if (depth == kCollisionDepth) {
      std::vector<std::string> keys;
      for (unsigned i = 0; i < node->datamap; ++i) {
        Stream key;
        key << Ops::entries(node)[i].key;
        keys.push_back(key.str());
      }
      std::sort(keys.begin(), keys.end());
      out << "C[";
      for (const std::string& key : keys) out << key << ',';
      out << ']';
      return;
    }
    out << '{' << hex(node->datamap) << '/' << hex(node->nodemap) << ':';
    for (unsigned i = 0; i < Ops::entry_count(node, depth); ++i) out << Ops::entries(node)[i].key << ',';
    for (unsigned i = 0; i < Ops::child_count(node); ++i) dump_node(out, Ops::children(node)[i], depth + 1);
    out << '}';
  }

  Node* root_ = nullptr;
  std::size_t size_ = 0;
  [[no_unique_address]] Hasher hasher_{};
  [[no_unique_address]] KeyEqual equal_{};
};

}  // namespace tallowmere
