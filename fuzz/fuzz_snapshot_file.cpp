// libFuzzer target for the store file loader (snapshot files and durable stores'
// logs alike): parse arbitrary bytes. A file
// that loads must hold a state whose counters match its maps, and writing that
// state as an image must load back to the same pairs and bytes. Any other
// outcome than a state or a PersistError (crash, sanitizer report, exception,
// an allocation beyond -malloc_limit_mb) is a finding.
// Random bytes almost never carry valid checksums, which would keep the fuzzer
// out of the payload decoders; so every input is also parsed a second time with
// its checksums recomputed (layout as in src/persist/format.md).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "common/crc32c.h"
#include "persist/loader.h"
#include "persist/snapshot_file.h"

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

void put_le32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// The file header's, the mark slots' and each record's checksums made to match
// their bytes (version 1 or 2 layout, by the version field).
std::string with_valid_checksums(std::string bytes) {
  constexpr std::size_t kRecordHeader = 40;
  if (bytes.size() < 36) return bytes;
  const bool version2 = bytes[8] == 2;
  const std::size_t header = version2 ? 96 : 36;
  put_le32(bytes, 32, tallowmere::crc32c(bytes.data(), 32));
  for (std::size_t slot = 36; version2 && slot + 28 <= bytes.size() && slot < 92; slot += 28) {
    put_le32(bytes, slot + 24, tallowmere::crc32c(bytes.data() + slot, 24));
  }
  std::size_t at = header;
  while (bytes.size() >= at + kRecordHeader) {
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(bytes[at + 8 + i]);
    const std::size_t payload = at + kRecordHeader;
    const std::size_t present = static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes.size() - payload));
    put_le32(bytes, at + 32, tallowmere::crc32c(bytes.data() + payload, present));
    put_le32(bytes, at, tallowmere::crc32c(bytes.data() + at + 4, kRecordHeader - 4));
    at = payload + present;
  }
  return bytes;
}

void check_input(std::string_view input) {
  auto loaded = tallowmere::parse_snapshot_file(input);
  if (!loaded) {
    if (loaded.error().kind != tallowmere::PersistError::Kind::kDamage) std::abort();
    return;
  }
  const tallowmere::SnapshotData& state = loaded.value().state;
  std::uint64_t bytes = 0;
  const Pairs pairs = pairs_of(state, bytes);
  if (pairs.size() != state.entry_count() || bytes != state.size_bytes) std::abort();
  auto again = tallowmere::parse_snapshot_file(tallowmere::encode_image_file(state));
  if (!again || again.value().torn) std::abort();
  std::uint64_t bytes_again = 0;
  if (pairs_of(again.value().state, bytes_again) != pairs) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_input(input);
  check_input(with_valid_checksums(std::string(input)));
  return 0;
}
