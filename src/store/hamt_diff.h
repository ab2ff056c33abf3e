// store/hamt_diff.h: the joint walk behind PersistentMap::diff.
// * Two maps hashed alike put a key at the same path in both, so the walk pairs up
//   the two tries slot by slot and skips any pair of identical node pointers: their
//   contents agree. Canonical form makes the entry-versus-subtree cases mean a real
//   change in the key set beneath that slot.
// * Cost: at most 32 slot tests per visited node pair, plus the entries of subtrees
//   present on one side only; recursion is bounded by the trie depth (14).
// * Callbacks: added(k, v_self), removed(k, v_base), both(k, v_base, v_self); `both`
//   only when the two stored values are not the very same object.
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

template <class E, class KeyEqual, class Added, class Removed, class Both>
struct DiffWalk {
  using Ops = NodeOps<E>;

  const KeyEqual& equal;
  Added& added;
  Removed& removed;
  Both& both;

  void all_added(const Node* node, unsigned depth) { Ops::for_each_below(node, depth, added); }
  void all_removed(const Node* node, unsigned depth) { Ops::for_each_below(node, depth, removed); }
  void pair(const E& before, const E& after) {
    if (!same_stored_value(before.value, after.value)) both(after.key, before.value, after.value);
  }

  // `lone` is an entry of self; `subtree` holds base's keys with the same prefix.
  void entry_vs_base_subtree(const E& lone, const Node* subtree, unsigned depth) {
    bool matched = false;
    Ops::for_each_below(subtree, depth, [&](const auto& key, const auto& value) {
      if (!matched && equal(key, lone.key)) {
        matched = true;
        if (!same_stored_value(value, lone.value)) both(lone.key, value, lone.value);
      } else {
        removed(key, value);
      }
    });
    if (!matched) added(lone.key, lone.value);
  }
  // `lone` is an entry of base; `subtree` holds self's keys with the same prefix.
  void base_entry_vs_subtree(const E& lone, const Node* subtree, unsigned depth) {
    bool matched = false;
    Ops::for_each_below(subtree, depth, [&](const auto& key, const auto& value) {
      if (!matched && equal(key, lone.key)) {
        matched = true;
        if (!same_stored_value(lone.value, value)) both(key, lone.value, value);
      } else {
        added(key, value);
      }
    });
    if (!matched) removed(lone.key, lone.value);
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

  // Recursion depth is bounded by the trie depth (at most kMaxDepth).
  void nodes(const Node* base, const Node* self, unsigned depth) {
    if (base == self) return;
    if (depth == kCollisionDepth) {
      collisions(base, self);
      return;
    }
    const std::uint32_t all = base->datamap | base->nodemap | self->datamap | self->nodemap;
    for (std::uint32_t pending = all; pending != 0; pending &= pending - 1) {
      const std::uint32_t bit = pending & (~pending + 1);
      const E* base_entry =
          (base->datamap & bit) ? &Ops::entries(base)[slot_of(base->datamap, bit)] : nullptr;
      const E* self_entry =
          (self->datamap & bit) ? &Ops::entries(self)[slot_of(self->datamap, bit)] : nullptr;
      const Node* base_child =
          (base->nodemap & bit) ? Ops::children(base)[slot_of(base->nodemap, bit)] : nullptr;
      const Node* self_child =
          (self->nodemap & bit) ? Ops::children(self)[slot_of(self->nodemap, bit)] : nullptr;
      if (self_entry != nullptr) {
        if (base_entry != nullptr) {
          if (equal(base_entry->key, self_entry->key)) {
            pair(*base_entry, *self_entry);
          } else {
            removed(base_entry->key, base_entry->value);
            added(self_entry->key, self_entry->value);
          }
        } else if (base_child != nullptr) {
          entry_vs_base_subtree(*self_entry, base_child, depth + 1);
        } else {
          added(self_entry->key, self_entry->value);
        }
      } else if (self_child != nullptr) {
        if (base_child != nullptr) {
          nodes(base_child, self_child, depth + 1);
        } else if (base_entry != nullptr) {
          base_entry_vs_subtree(*base_entry, self_child, depth + 1);
        } else {
          all_added(self_child, depth + 1);
        }
      } else if (base_entry != nullptr) {
        removed(base_entry->key, base_entry->value);
      } else {
        all_removed(base_child, depth + 1);
      }
    }
  }
};

}  // namespace hamt_detail
}  // namespace tallowmere
