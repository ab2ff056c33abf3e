// persist/loader.h: reading a store file back into a state (format.md).
// * Streams: the file goes through a bounded buffer and straight into the maps,
//   so loading takes the state's own memory plus that buffer, and a fault is
//   reported where it is found, without reading past it.
// * Every length and count is checked against the bytes left before anything is
//   allocated; every checksum, the order of the records and their ids are
//   checked; a delta or operations record is applied whole (its checksum is
//   checked first) and must fit the state exactly.
// * The valid part ends at the first torn record (format.md's rules for each
//   version): what follows is reported as a torn tail, never loaded. Any other
//   fault is damage, and nothing is built.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "persist/format.h"
#include "persist/persist_error.h"
#include "store/snapshot.h"

namespace tallowmere {

struct TornTail {
  std::uint64_t offset = 0;  // where the torn part starts
  std::uint64_t bytes = 0;   // how many bytes follow the valid part
};

struct LoadedState {
  SnapshotData state;  // lineage of the file, id of its last record; shard maps private
  std::uint64_t records = 0;
  std::optional<TornTail> torn;
  // Where things are, for a log that goes on writing the file.
  persist::FileHeader header;
  std::uint64_t end = 0;         // end of the valid part
  std::uint64_t last_start = 0;  // start of its last record
  std::optional<persist::RecordKind> last_kind;
  std::uint64_t image_end = 0;   // end of the image record
  bool writer_active = false;    // a durable store held the file open while it was read
};

Result<LoadedState, PersistError> load_snapshot_file(const std::string& path);
// The loader's work on bytes already in memory (tests, fuzzing, Store.from_bytes).
Result<LoadedState, PersistError> parse_snapshot_file(std::string_view bytes);

namespace persist {
// Loads from an open descriptor of a regular file of `size` bytes.
Result<LoadedState, PersistError> load_from_descriptor(int fd, std::uint64_t size);
}  // namespace persist

}  // namespace tallowmere
