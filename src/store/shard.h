// store/shard.h: the maps a store is made of, and where a namespace lives.
// * KeyMap: key -> encoded value (one per namespace). ShardMap: namespace -> KeyMap.
//   Both are persistent maps, so copying one is O(1) and shares every node.
// * shard_index() hashes the namespace alone with fixed keys, so a whole namespace
//   lives in one shard, under one lock, in every store and every process.
// * A Shard is a readers-writer lock around one shard map plus its counters. The
//   map, `entries` and `bytes` change only under the write lock, together, so any
//   holder of the lock sees them agree. `bytes` is atomic only so that the
//   counters can be read by code that does not care about that agreement.
// * A namespace present in a shard map holds at least one key; writers drop a
//   namespace with its last key. Readers still treat an empty key map as absent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "store/encoded_value.h"
#include "store/hamt.h"

namespace tallowmere {

inline constexpr std::size_t kShardCount = 16;

// Equality of names (keys and namespaces) with the short ones compared inline:
// most are a few to a few dozen bytes, where a call into the C library's memcmp
// costs more than the comparison. Loads are unaligned 8-byte words, overlapping
// at the tail; longer names go to memcmp.
struct NameEqual {
  using is_transparent = void;
  static std::uint64_t word(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  }
  static std::uint32_t half(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
  }
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    if (n >= 8) {
      if (n > 32) return std::memcmp(x, y, n) == 0;
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (word(x + i) != word(y + i)) return false;
      }
      return word(x + n - 8) == word(y + n - 8);
    }
    if (n >= 4) return half(x) == half(y) && half(x + n - 4) == half(y + n - 4);
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] != y[i]) return false;
    }
    return true;
  }
};

using KeyMap = PersistentMap<std::string, EncodedValue, SipHasher, NameEqual>;
using ShardMap = PersistentMap<std::string, KeyMap, SipHasher, NameEqual>;

// SipHash-1-3 with both keys 0 over the namespace's bytes followed by one 0xFF
// byte, modulo 16. Fixed keys are deliberate: placement must be the same for every
// store so that a snapshot of one store can be restored into another.
std::size_t shard_index(std::string_view namespace_name);

// A name passes the filter when it begins with exactly the bytes of `prefix`.
inline bool has_prefix(std::string_view name, std::string_view prefix) noexcept {
  return name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

struct alignas(64) Shard {  // one cache line apart, so writers to different shards do not share lines
  mutable std::shared_mutex mutex;
  ShardMap map;
  std::uint64_t entries = 0;             // (namespace, key) pairs in `map`
  std::atomic<std::uint64_t> bytes{0};   // total length of the encoded values in `map`
};

}  // namespace tallowmere
