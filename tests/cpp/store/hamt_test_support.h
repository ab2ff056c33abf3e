// Shared pieces of the persistent-map tests: hashers that force rare shapes, a
// counted value type whose copies can fail, and a std::unordered_map model to compare against.
#pragma once

#include <doctest/doctest.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/fault.h"
#include "common/siphash.h"
#include "store/hamt.h"

namespace hamt_test {

// Weak hashers keep SipHash's spread but throw most of the bits away.
// One bit per 5-bit level: every node has at most two slots, so tries run deep,
// entry-vs-subtree cases abound, and a few thousand keys already collide at depth 13.
struct NarrowHasher {
  std::uint64_t operator()(std::string_view bytes) const noexcept {
    return tallowmere::siphash13(7, 9, bytes.data(), bytes.size()) & 0x1084210842108421ULL;
  }
  bool operator==(const NarrowHasher&) const noexcept = default;
};

// A handful of full hashes, some differing only in the top 4 bits (the last level):
// chains of single-child nodes down to depth 13 and large collision nodes.
struct DegenerateHasher {
  std::uint64_t operator()(std::string_view bytes) const noexcept {
    static constexpr std::array<std::uint64_t, 6> kHashes = {
        0x0ULL, 0x1ULL << 60, 0xFULL << 60, 0x0123456789ABCDEFULL, 0x8123456789ABCDEFULL, 0x21ULL};
    return kHashes[tallowmere::siphash13(3, 5, bytes.data(), bytes.size()) % kHashes.size()];
  }
  bool operator==(const DegenerateHasher&) const noexcept = default;
};

// SipHash with a chosen key: maps with different seeds share no structure.
struct SeededHasher {
  std::uint64_t seed = 0;
  std::uint64_t operator()(std::string_view bytes) const noexcept {
    return tallowmere::siphash13(seed, ~seed, bytes.data(), bytes.size());
  }
  bool operator==(const SeededHasher&) const noexcept = default;
};

// A refcounted value standing in for the store's encoded buffers: identity is the
// pointer, and a live count (values die on reader threads too) catches leaks and double frees.
struct Payload {
  int number;
  static inline std::atomic<long> live{0};
  explicit Payload(int n) : number(n) { ++live; }
  Payload(const Payload&) = delete;
  ~Payload() { --live; }
};
// Copies pass a fault point (moves never fail), so with fault injection on, an
// allocation or a copy of an entry can fail half way through copying a node.
struct Val : std::shared_ptr<const Payload> {
  Val() noexcept = default;
  Val(std::shared_ptr<const Payload> payload) noexcept : shared_ptr(std::move(payload)) {}
  Val(const Val& other) : shared_ptr(other) { tallowmere::fault::fault_point(); }
  Val(Val&&) noexcept = default;
  Val& operator=(const Val& other) = default;
  Val& operator=(Val&&) noexcept = default;
};
inline Val make_val(int n) { return std::make_shared<const Payload>(n); }

template <class Hasher = tallowmere::SipHasher>
using TestMap = tallowmere::PersistentMap<std::string, Val, Hasher>;
static_assert(TestMap<>::counts_nodes(), "the map tests count live nodes: link tm_hamt in a dev build");
using Model = std::unordered_map<std::string, int>;

template <class Map>
Model contents(const Map& map) {
  Model seen;
  map.for_each([&](const std::string& key, const Val& value) {
    REQUIRE_MESSAGE(seen.emplace(key, value->number).second, "iteration yields " << key << " twice");
  });
  return seen;
}

// The trie's shape as text (see PersistentMap::structure).
template <class Map>
std::string shape(const Map& map) {
  return map.template structure<std::ostringstream>();
}

template <class Map>
void check_equals_model(const Map& map, const Model& model) {
  map.validate();
  REQUIRE(map.size() == model.size());
  REQUIRE(contents(map) == model);
  for (const auto& [key, number] : model) {
    const Val* found = map.find(key);
    REQUIRE((found != nullptr && (*found)->number == number));
  }
}

inline std::string key_name(std::uint64_t n) {
  std::string name = "k";  // appended, not "k" + ...: that trips a false -Wrestrict in g++ 12 at -O2
  name += std::to_string(n);
  return name;
}

// Once all maps of a test are gone, live nodes and payloads return to this baseline.
struct LeakCheck {
  std::int64_t nodes_before = TestMap<>::live_nodes();
  long payloads_before = Payload::live;
  void verify() const {
    CHECK(TestMap<>::live_nodes() == nodes_before);
    CHECK(Payload::live == payloads_before);
  }
};

}  // namespace hamt_test
