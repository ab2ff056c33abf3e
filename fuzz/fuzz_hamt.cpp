// Map operation sequences against a std::unordered_map model. The first byte picks
// the hash (full, one bit per level, or a handful of values) so that deep chains and
// collision nodes are reached; then every 3 bytes are one operation: insert, remove,
// find, find_for_update, clone into one of four slots, or diff a slot against the map.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/siphash.h"
#include "store/hamt.h"

namespace {

struct ModeHasher {
  std::uint8_t mode = 0;
  std::uint64_t operator()(std::string_view bytes) const noexcept {
    const std::uint64_t full = tallowmere::siphash13(1, 2, bytes.data(), bytes.size());
    switch (mode % 3) {
      case 0:
        return full;
      case 1:
        return full & 0x1084210842108421ULL;
      default:
        return (full % 4) << 60 | (full % 3);
    }
  }
  bool operator==(const ModeHasher&) const noexcept = default;
};

using Map = tallowmere::PersistentMap<std::string, std::uint32_t, ModeHasher>;
using Model = std::unordered_map<std::string, std::uint32_t>;

void require(bool ok) {
  if (!ok) __builtin_trap();
}

void check(const Map& map, const Model& model) {
  map.validate();
  require(map.size() == model.size());
  std::size_t seen = 0;
  map.for_each([&](const std::string& key, std::uint32_t value) {
    auto it = model.find(key);
    require(it != model.end() && it->second == value);
    ++seen;
  });
  require(seen == model.size());
}

std::string key_for(std::uint8_t byte) {
  // Short keys stay inline in std::string; every eighth is long enough to allocate.
  std::string key = "k" + std::to_string(byte % 64);
  if (byte % 8 == 7) key.append(40, 'x');
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ModeHasher hasher{data[0]};
  Map map{hasher};
  Model model;
  Map slots[4] = {Map{hasher}, Map{hasher}, Map{hasher}, Map{hasher}};
  Model slot_models[4];
  for (std::size_t at = 1; at + 3 <= size; at += 3) {
    const std::uint8_t op = data[at], key_byte = data[at + 1], value = data[at + 2];
    const std::string key = key_for(key_byte);
    switch (op % 6) {
      case 0: {
        auto replaced = map.insert(key, value);
        auto it = model.find(key);
        require(replaced.has_value() == (it != model.end()));
        if (replaced) require(*replaced == it->second);
        model[key] = value;
        break;
      }
      case 1: {
        auto removed = map.remove(key);
        require(removed.has_value() == (model.erase(key) == 1));
        break;
      }
      case 2: {
        const std::uint32_t* found = map.find(key);
        auto it = model.find(key);
        require((found != nullptr) == (it != model.end()));
        if (found) require(*found == it->second);
        break;
      }
      case 3: {
        std::uint32_t* slot = map.find_for_update(key);
        auto it = model.find(key);
        require((slot != nullptr) == (it != model.end()));
        if (slot) *slot = it->second = value + 1000u;
        break;
      }
      case 4:
        slots[value % 4] = map;
        slot_models[value % 4] = model;
        break;
      default: {
        const Map& base = slots[value % 4];
        const Model& base_model = slot_models[value % 4];
        Model applied = base_model;
        Map::diff(
            base, map, [&](const std::string& k, std::uint32_t v) { require(applied.emplace(k, v).second); },
            [&](const std::string& k, std::uint32_t) { require(applied.erase(k) == 1); },
            [&](const std::string& k, std::uint32_t before, std::uint32_t after) {
              require(before != after && applied.at(k) == before);
              applied[k] = after;
            });
        require(applied == model);
        break;
      }
    }
  }
  check(map, model);
  for (int i = 0; i < 4; ++i) check(slots[i], slot_models[i]);
  return 0;
}
