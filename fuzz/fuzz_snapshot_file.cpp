// libFuzzer target for the snapshot file loader: parse arbitrary bytes. A file
// that loads must hold a state whose counters match its maps, and writing that
// state as an image must load back to the same pairs and bytes. Any other
// outcome than a state or a PersistError (crash, sanitizer report, exception,
// an allocation beyond -malloc_limit_mb) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "store/snapshot_file.h"

namespace {

using Pairs = std::map<std::pair<std::string, std::string>, std::string>;

Pairs pairs_of(const tallowmere::SnapshotData& state, std::uint64_t& bytes) {
  Pairs pairs;
  bytes = 0;
  for (const tallowmere::ShardMap& shard_map : state.shard_maps) {
    shard_map.for_each([&](const std::string& name, const tallowmere::KeyMap& keys) {
      keys.for_each([&](const std::string& key, const tallowmere::EncodedValue& value) {
        pairs[{name, key}] = std::string(value.bytes());
        bytes += value.size();
      });
    });
  }
  return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto loaded = tallowmere::parse_snapshot_file(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!loaded) {
    if (loaded.error().kind != tallowmere::PersistError::Kind::kDamaged) std::abort();
    return 0;
  }
  const tallowmere::SnapshotData& state = loaded.value().state;
  std::uint64_t bytes = 0;
  const Pairs pairs = pairs_of(state, bytes);
  if (pairs.size() != state.entry_count() || bytes != state.size_bytes) std::abort();
  auto again = tallowmere::parse_snapshot_file(tallowmere::encode_image_file(state));
  if (!again || again.value().torn) std::abort();
  std::uint64_t bytes_again = 0;
  if (pairs_of(again.value().state, bytes_again) != pairs) std::abort();
  return 0;
}
