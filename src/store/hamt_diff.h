// store/hamt_diff.h: the joint walk behind PersistentMap::diff.
// * Two maps hashed alike put a key at the same path in both, so the walk pairs up
//   the two tries slot by slot and skips any pair of identical node pointers: their
//   contents agree. Canonical form makes the entry-versus-subtree cases mean a real
//   change in the key set beneath that slot.
// * Cost: at most 32 slot tests per visited node pair, plus the entries of subtrees
//   present on one side only; recursion is bounded by the trie depth (14).
// * Callbacks: added(k, v_self), removed(k, v_base), both(k, v_base, v_self); `both`
//   only when the two stored values are not the very same object. The keys given to
//   added and both come in self's iteration order, those given to removed in base's,
//   so a caller can report each list as if it had iterated that map.
#pragma once

#include <concepts>
#include <cstdint>

#include "store/hamt_node.h"

namespace tallowmere {

// Whether two stored values are the very same object (no change to report, nothing to
// copy): buffer handles by pointer, nested maps by root, plain values by equality.
template <class V>
bool same_stored_value(const V& a, const V& b) noexcept {
  if constexpr (requires { { a.same(b) } -> std::convertible_to<bool>; }) {
    return a.same(b);
  } else if constexpr (requires { a.get() == b.get(); }) {
    return a.get() == b.get();
  } else if constexpr (std::equality_comparable<V>) {
    return a == b;
  } else {
    return false;
  }
}

namespace hamt_detail {

template <class E, class Hasher, class KeyEqual, class Added, class Removed, class Both>
struct DiffWalk {
  using Ops = NodeOps<E>;

  const Hasher& hasher;
  const KeyEqual& equal;
  Added& added;
  Removed& removed;
  Both& both;

  void pair(const E& before, const E& after) {
    if (!same_stored_value(before.value, after.value)) both(after.key, before.value, after.value);
  }
  const E* find_below(const Node* subtree, unsigned depth, const E& probe) {
    return Ops::find_below(subtree, depth, static_cast<std::uint64_t>(hasher(probe.key)), probe.key, equal);
  }

  void collisions(const Node* base, const Node* self) {
    const E* base_slots = Ops::entries(base);
    const E* self_slots = Ops::entries(self);
    for (unsigned i = 0; i < self->datamap; ++i) {
      const E* match = nullptr;
      for (unsigned j = 0; j < base->datamap && match == nullptr; ++j) {
        if (equal(base_slots[j].key, self_slots[i].key)) match = &base_slots[j];
      }
      if (match == nullptr) {
        added(self_slots[i].key, self_slots[i].value);
      } else {
        pair(*match, self_slots[i]);
      }
    }
    for (unsigned j = 0; j < base->datamap; ++j) {
      bool kept = false;
      for (unsigned i = 0; i < self->datamap && !kept; ++i) kept = equal(base_slots[j].key, self_slots[i].key);
      if (!kept) removed(base_slots[j].key, base_slots[j].value);
    }
  }

  static const E& entry_at(const Node* node, std::uint32_t bit) noexcept {
    return Ops::entries(node)[slot_of(node->datamap, bit)];
  }
  static const Node* child_at(const Node* node, std::uint32_t bit) noexcept {
    return Ops::children(node)[slot_of(node->nodemap, bit)];
  }
  static std::uint32_t lowest_bit(std::uint32_t bits) noexcept { return bits & (~bits + 1); }

  // Three passes per node pair keep each report in its own map's iteration order
  // (a node's entries, then its children): added and both follow self, removed
  // follows base. 1) self's entries, 2) base's entries, 3) children of either side.
  // Recursion depth is bounded by the trie depth (at most kMaxDepth).
  void nodes(const Node* base, const Node* self, unsigned depth) {
    if (base == self) return;
    if (depth == kCollisionDepth) {
      collisions(base, self);
      return;
    }
    const std::uint32_t same_key_bits = self_entries(base, self, depth);
    base_entries(base, self, depth, same_key_bits);
    for (std::uint32_t pending = base->nodemap | self->nodemap; pending != 0; pending &= pending - 1) {
      const std::uint32_t bit = lowest_bit(pending);
      if ((self->nodemap & bit) && (base->nodemap & bit)) {
        nodes(child_at(base, bit), child_at(self, bit), depth + 1);
      } else if (self->nodemap & bit) {
        subtree_added(base, self, bit, depth);
      } else {
        subtree_removed(base, self, bit, depth);
      }
    }
  }

  // Pass 1: each of self's entries is paired with base's entry for the same key (in
  // the same slot, or below base's subtree there) or reported added. Returns the
  // bits where both nodes hold an entry for the same key.
  std::uint32_t self_entries(const Node* base, const Node* self, unsigned depth) {
    std::uint32_t same_key_bits = 0;
    for (std::uint32_t pending = self->datamap; pending != 0; pending &= pending - 1) {
      const std::uint32_t bit = lowest_bit(pending);
      const E& mine = entry_at(self, bit);
      const E* before = nullptr;
      if (base->datamap & bit) {
        if (equal(entry_at(base, bit).key, mine.key)) {
          before = &entry_at(base, bit);
          same_key_bits |= bit;
        }
      } else if (base->nodemap & bit) {
        before = find_below(child_at(base, bit), depth + 1, mine);
      }
      if (before != nullptr) {
        pair(*before, mine);
      } else {
        added(mine.key, mine.value);
      }
    }
    return same_key_bits;
  }

  // Pass 2: each of base's entries that self no longer holds is reported removed.
  void base_entries(const Node* base, const Node* self, unsigned depth, std::uint32_t same_key_bits) {
    for (std::uint32_t pending = base->datamap; pending != 0; pending &= pending - 1) {
      const std::uint32_t bit = lowest_bit(pending);
      const E& old = entry_at(base, bit);
      const bool kept = (self->datamap & bit)   ? (same_key_bits & bit) != 0
                        : (self->nodemap & bit) ? find_below(child_at(self, bit), depth + 1, old) != nullptr
                                                : false;
      if (!kept) removed(old.key, old.value);
    }
  }

  // A subtree only self has at `bit`: all of it is added, except the key of base's
  // lone entry there (if any), which is paired here in self's order; its removal,
  // if unmatched, was reported in pass 2.
  void subtree_added(const Node* base, const Node* self, std::uint32_t bit, unsigned depth) {
    const E* old = (base->datamap & bit) ? &entry_at(base, bit) : nullptr;
    Ops::for_each_below(child_at(self, bit), depth + 1, [&](const auto& key, const auto& value) {
      if (old != nullptr && equal(key, old->key)) {
        if (!same_stored_value(old->value, value)) both(key, old->value, value);
      } else {
        added(key, value);
      }
    });
  }

  // A subtree only base has at `bit`: all of it is removed, except the key of self's
  // lone entry there (paired in pass 1).
  void subtree_removed(const Node* base, const Node* self, std::uint32_t bit, unsigned depth) {
    const E* mine = (self->datamap & bit) ? &entry_at(self, bit) : nullptr;
    Ops::for_each_below(child_at(base, bit), depth + 1, [&](const auto& key, const auto& value) {
      if (mine == nullptr || !equal(key, mine->key)) removed(key, value);
    });
  }
};

}  // namespace hamt_detail
}  // namespace tallowmere
