// store/hamt_node.h: the nodes of the persistent hash map (CHAMP layout).
// * A node is one allocation: a 16-byte header, then its entries, then its child
//   pointers. Inner nodes (depth 0..12) index 5 hash bits per level, low bits first:
//   an entry's slot is popcount(datamap & (bit - 1)), a child's popcount(nodemap &
//   (bit - 1)), and the two bitmaps never share a bit. The 64-bit hash runs out below
//   depth 12, so a node at depth 13 is always a collision node: a plain array of
//   entries whose keys have the same full hash.
// * A node's kind follows from its depth; the header's tag word is only for validate().
// * Counts: retain is a relaxed increment (the caller already holds a reference);
//   release is an acq_rel decrement whose last holder destroys the node; is_unique is
//   an acquire load, pairing with the release of whoever dropped the other reference,
//   so their last reads happen before our in-place writes.
// * Every allocation goes through allocate_node_bytes, which calls the fault-injection
//   hook first. Dev builds (TALLOWMERE_HAMT_COUNT_NODES) also keep a process-wide
//   live-node count for leak and no-copy checks; release builds skip it, because one
//   counter shared by every writer thread would bounce its cache line on each node.
// * The builders below make a node from a source node plus one edit. "Move" builders
//   take the source's slots without touching any count (the source is private and is
//   disposed right after) and cannot fail; "copy" builders copy keys and values and
//   retain children, and on a throwing copy destroy what they built and rethrow.
// Cost: destruction recurses once per level, at most kMaxDepth deep.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "common/fault.h"

namespace tallowmere::hamt_detail {

inline constexpr unsigned kBitsPerLevel = 5;
inline constexpr unsigned kHashBits = 64;
// Levels that consume hash bits: depths 0..12; depth 12 sees only the top 4 bits.
inline constexpr unsigned kHashLevels = (kHashBits + kBitsPerLevel - 1) / kBitsPerLevel;
inline constexpr unsigned kCollisionDepth = kHashLevels;
// Nodes on the longest root-to-leaf path: the hash levels plus the collision level.
inline constexpr unsigned kMaxDepth = kHashLevels + 1;
static_assert(kHashLevels == 13 && kMaxDepth == 14);
static_assert(kBitsPerLevel * (kHashLevels - 1) < kHashBits, "the deepest shift must stay below 64");

inline unsigned fragment(std::uint64_t hash, unsigned depth) noexcept {
  return static_cast<unsigned>(hash >> (kBitsPerLevel * depth)) & 31u;
}
inline std::uint32_t bit_at(std::uint64_t hash, unsigned depth) noexcept {
  return std::uint32_t{1} << fragment(hash, depth);
}
inline unsigned slot_of(std::uint32_t bitmap, std::uint32_t bit) noexcept {
  return static_cast<unsigned>(std::popcount(bitmap & (bit - 1)));
}
inline unsigned count_of(std::uint32_t bitmap) noexcept { return static_cast<unsigned>(std::popcount(bitmap)); }

enum : std::uint32_t { kInnerTag = 0x1A2Eu, kCollisionTag = 0xC011u };

struct Node {
  std::atomic<std::uint32_t> refs;
  std::uint32_t datamap;  // inner: entry bitmap; collision node: number of entries
  std::uint32_t nodemap;  // inner: child bitmap; collision node: 0
  std::uint32_t tag;      // kInnerTag or kCollisionTag, read by validate() only

  Node(std::uint32_t data, std::uint32_t children, std::uint32_t kind) noexcept
      : refs(1), datamap(data), nodemap(children), tag(kind) {}
};
static_assert(sizeof(Node) == 16);

#ifdef TALLOWMERE_HAMT_COUNT_NODES
inline constexpr bool kCountsNodes = true;
#else
inline constexpr bool kCountsNodes = false;
#endif

// Nodes allocated and not yet freed, over all maps of the process (dev builds only).
inline std::atomic<std::int64_t> live_node_count{0};

inline void* allocate_node_bytes(std::size_t bytes) {
  fault::fault_point();
  void* memory = ::operator new(bytes);
  if constexpr (kCountsNodes) live_node_count.fetch_add(1, std::memory_order_relaxed);
  return memory;
}

inline void free_node_bytes(void* memory) noexcept {
  if constexpr (kCountsNodes) live_node_count.fetch_sub(1, std::memory_order_relaxed);
  ::operator delete(memory);
}

// Raw node memory, freed unless a builder took it over with release().
class Shell {
 public:
  Shell() noexcept = default;
  explicit Shell(std::size_t bytes) : memory_(allocate_node_bytes(bytes)) {}
  Shell(Shell&& other) noexcept : memory_(std::exchange(other.memory_, nullptr)) {}
  Shell& operator=(Shell&& other) noexcept {
    if (this != &other) {
      reset();
      memory_ = std::exchange(other.memory_, nullptr);
    }
    return *this;
  }
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ~Shell() { reset(); }

  void* get() const noexcept { return memory_; }
  void* release() noexcept { return std::exchange(memory_, nullptr); }

 private:
  void reset() noexcept {
    if (memory_ != nullptr) free_node_bytes(std::exchange(memory_, nullptr));
  }
  void* memory_ = nullptr;
};

// A count this high means a leak of references somewhere; wrapping would free a
// live node, so stop instead.
inline constexpr std::uint32_t kMaxRefs = 0xFFFF'FFF0u;

inline void retain(Node* node) noexcept {
  if (node->refs.fetch_add(1, std::memory_order_relaxed) >= kMaxRefs) std::abort();
}

inline bool is_unique(const Node* node) noexcept { return node->refs.load(std::memory_order_acquire) == 1; }

template <class Key, class Value>
struct Entry {
  Key key;
  Value value;
};

inline constexpr unsigned kNoIndex = ~0u;

// Layout, lifetime and builders for nodes holding entries of type E.
template <class E>
struct NodeOps {
  static_assert(alignof(E) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ && alignof(E) <= sizeof(Node),
                "entries follow the 16-byte header");
  static_assert(std::is_nothrow_move_constructible_v<E> && std::is_nothrow_move_assignable_v<E> &&
                    std::is_nothrow_destructible_v<E>,
                "moving entries between private nodes must not fail");

  static constexpr std::size_t children_offset(unsigned entry_count) noexcept {
    std::size_t end = sizeof(Node) + entry_count * sizeof(E);
    return (end + alignof(Node*) - 1) & ~(alignof(Node*) - 1);
  }
  static constexpr std::size_t inner_bytes(unsigned entry_count, unsigned child_count) noexcept {
    return children_offset(entry_count) + child_count * sizeof(Node*);
  }
  static constexpr std::size_t collision_bytes(unsigned entry_count) noexcept {
    return sizeof(Node) + entry_count * sizeof(E);
  }

  static E* entries(const Node* node) noexcept {
    return reinterpret_cast<E*>(reinterpret_cast<char*>(const_cast<Node*>(node)) + sizeof(Node));
  }
  // Inner nodes only.
  static Node** children(const Node* node) noexcept {
    return reinterpret_cast<Node**>(reinterpret_cast<char*>(const_cast<Node*>(node)) +
                                    children_offset(count_of(node->datamap)));
  }
  static unsigned entry_count(const Node* node, unsigned depth) noexcept {
    return depth == kCollisionDepth ? node->datamap : count_of(node->datamap);
  }
  static unsigned child_count(const Node* node) noexcept { return count_of(node->nodemap); }

  static void destroy_entries(E* first, unsigned count) noexcept {
    for (unsigned i = 0; i < count; ++i) first[i].~E();
  }

  static void destroy(Node* node, unsigned depth) noexcept {
    destroy_entries(entries(node), entry_count(node, depth));
    if (depth < kCollisionDepth) {
      Node** kids = children(node);
      for (unsigned i = 0, n = child_count(node); i < n; ++i) release(kids[i], depth + 1);
    }
    node->~Node();
    free_node_bytes(node);
  }

  static void release(Node* node, unsigned depth) noexcept {
    if (node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(node, depth);
  }

  // Frees a private node whose slots a move builder has taken: entries are
  // moved-from (destroyed), child pointers now belong to the new node (not released).
  static void dispose_moved(Node* node, unsigned depth) noexcept {
    destroy_entries(entries(node), entry_count(node, depth));
    node->~Node();
    free_node_bytes(node);
  }

  // What a rebuilt inner node holds: every bit of the new bitmaps comes from the same
  // kind of slot in the source, except special_bit, whose slot takes special_entry
  // (moved in) or special_child (its reference handed over).
  struct InnerEdit {
    std::uint32_t datamap;
    std::uint32_t nodemap;
    std::uint32_t special_bit = 0;
    E* special_entry = nullptr;
    Node* special_child = nullptr;
  };

  // One source entry into its new slot: moved out of an owned source, copied from a shared one.
  template <bool kMoveFromSource>
  static void place_entry(E* slot, E& from) noexcept(kMoveFromSource) {
    if constexpr (kMoveFromSource) {
      ::new (slot) E(std::move(from));
    } else {
      ::new (slot) E(from);
    }
  }

  // Runs `fill`, which constructs entries into `out` and counts them in `built`. Moves
  // cannot fail; a copy can, and then the entries built so far and the node shell are
  // destroyed before the exception goes on, so the caller only frees the memory.
  template <bool kMoveFromSource, class Fill>
  static void fill_or_unwind(Node* node, E* out, const unsigned& built, Fill&& fill) noexcept(kMoveFromSource) {
    if constexpr (kMoveFromSource) {
      fill();
    } else {
      try {
        fill();
      } catch (...) {
        destroy_entries(out, built);
        node->~Node();
        throw;
      }
    }
  }

  template <bool kMoveFromSource>
  static Node* build_inner(void* shell, const Node* source, const InnerEdit& edit) noexcept(kMoveFromSource) {
    Node* node = ::new (shell) Node(edit.datamap, edit.nodemap, kInnerTag);
    E* out = entries(node);
    unsigned built = 0;
    auto fill_entries = [&] {
      for (std::uint32_t pending = edit.datamap; pending != 0; pending &= pending - 1, ++built) {
        const std::uint32_t bit = pending & (~pending + 1);
        if (bit == edit.special_bit) {
          ::new (&out[built]) E(std::move(*edit.special_entry));
          continue;
        }
        place_entry<kMoveFromSource>(&out[built], entries(source)[slot_of(source->datamap, bit)]);
      }
    };
    fill_or_unwind<kMoveFromSource>(node, out, built, fill_entries);
    Node** kids = children(node);
    unsigned placed = 0;
    for (std::uint32_t pending = edit.nodemap; pending != 0; pending &= pending - 1, ++placed) {
      const std::uint32_t bit = pending & (~pending + 1);
      if (bit == edit.special_bit) {
        kids[placed] = edit.special_child;
        continue;
      }
      Node* child = children(source)[slot_of(source->nodemap, bit)];
      if constexpr (!kMoveFromSource) retain(child);
      kids[placed] = child;
    }
    return node;
  }

  // The source's entries without the one at `skip` (kNoIndex: none), with `special`
  // (if any) moved in at position `special_at` of the result.
  template <bool kMoveFromSource>
  static Node* build_collision(void* shell, const Node* source, unsigned skip, unsigned special_at,
                               E* special) noexcept(kMoveFromSource) {
    const unsigned source_count = source != nullptr ? source->datamap : 0;
    const unsigned count = source_count - (skip != kNoIndex ? 1 : 0) + (special != nullptr ? 1 : 0);
    Node* node = ::new (shell) Node(count, 0, kCollisionTag);
    E* out = entries(node);
    unsigned built = 0;
    auto fill_entries = [&] {
      unsigned from = 0;
      for (; built < count; ++built) {
        if (special != nullptr && built == special_at) {
          ::new (&out[built]) E(std::move(*special));
          continue;
        }
        if (from == skip) ++from;
        place_entry<kMoveFromSource>(&out[built], entries(source)[from++]);
      }
    };
    fill_or_unwind<kMoveFromSource>(node, out, built, fill_entries);
    return node;
  }

  // A node at `depth` holding just `first` and `second` (whose hashes differ at this
  // depth, or are equal when depth is the collision depth). Moves only.
  static Node* build_pair(void* shell, unsigned depth, E& first, std::uint64_t first_hash, E& second,
                          std::uint64_t second_hash) noexcept {
    if (depth == kCollisionDepth) {
      Node* node = ::new (shell) Node(2, 0, kCollisionTag);
      ::new (&entries(node)[0]) E(std::move(first));
      ::new (&entries(node)[1]) E(std::move(second));
      return node;
    }
    const std::uint32_t first_bit = bit_at(first_hash, depth);
    const std::uint32_t second_bit = bit_at(second_hash, depth);
    Node* node = ::new (shell) Node(first_bit | second_bit, 0, kInnerTag);
    const bool first_goes_first = first_bit < second_bit;
    ::new (&entries(node)[first_goes_first ? 0 : 1]) E(std::move(first));
    ::new (&entries(node)[first_goes_first ? 1 : 0]) E(std::move(second));
    return node;
  }

  // The entry with `key` in the subtree at `node` (at `depth`), or nullptr.
  template <class K, class KeyEqual>
  static const E* find_below(const Node* node, unsigned depth, std::uint64_t hash, const K& key,
                             const KeyEqual& equal) {
    for (; depth < kCollisionDepth; ++depth) {
      const std::uint32_t bit = bit_at(hash, depth);
      if (node->datamap & bit) {
        const E& entry = entries(node)[slot_of(node->datamap, bit)];
        return equal(entry.key, key) ? &entry : nullptr;
      }
      if (!(node->nodemap & bit)) return nullptr;
      node = children(node)[slot_of(node->nodemap, bit)];
    }
    const E* slots = entries(node);
    for (unsigned i = 0; i < node->datamap; ++i) {
      if (equal(slots[i].key, key)) return &slots[i];
    }
    return nullptr;
  }

  // Entries of the subtree at `node` (at `depth`), each node's entries in one run
  // before its children: the same order as the map's iterator, with tighter loops.
  template <class F>
  static void for_each_below(const Node* node, unsigned depth, F&& f) {
    struct Frame {
      const Node* node;
      unsigned next_child;
      unsigned child_count;
    };
    Frame stack[kMaxDepth];
    auto visit = [&](const Node* current, unsigned at) {
      const E* slots = entries(current);
      for (unsigned i = 0, n = entry_count(current, at); i < n; ++i) f(slots[i].key, slots[i].value);
    };
    visit(node, depth);
    if (depth == kCollisionDepth) return;
    const int base = static_cast<int>(depth);
    int top = base;
    stack[top] = {node, 0, child_count(node)};
    while (top >= base) {
      Frame& frame = stack[top];
      if (frame.next_child == frame.child_count) {
        --top;
        continue;
      }
      const Node* child = children(frame.node)[frame.next_child++];
      const unsigned child_depth = static_cast<unsigned>(top) + 1;
      visit(child, child_depth);
      if (child_depth < kCollisionDepth && child->nodemap != 0) stack[++top] = {child, 0, child_count(child)};
    }
  }

  // Removes entry `index` from a private node without allocating: later entries and
  // the child pointers slide down; the allocation keeps its old, larger size.
  static void erase_entry_in_place(Node* node, unsigned depth, unsigned index, std::uint32_t bit) noexcept {
    const unsigned count = entry_count(node, depth);
    E* slots = entries(node);
    for (unsigned i = index; i + 1 < count; ++i) slots[i] = std::move(slots[i + 1]);
    slots[count - 1].~E();
    if (depth == kCollisionDepth) {
      node->datamap = count - 1;
      return;
    }
    Node** old_children = children(node);
    const unsigned child_n = child_count(node);
    node->datamap &= ~bit;
    std::memmove(static_cast<void*>(children(node)), old_children, child_n * sizeof(Node*));
  }
};

}  // namespace tallowmere::hamt_detail
