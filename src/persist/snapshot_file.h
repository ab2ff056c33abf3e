// store/snapshot_file.h: snapshots on disk. A file holds one full image of a
// snapshot followed by any number of deltas, each taking the state from the
// record before it to a later snapshot of the same store (format: snapshot_file.md).
// * Full image: written to a temporary file in the target's directory, flushed,
//   renamed over the target, then the directory is flushed. A reader sees the old
//   file or the new one; on failure the temporary file is removed.
// * Delta: appended only when the file's last complete record is `base` (same
//   lineage, same snapshot id), under an exclusive flock so two appenders never
//   interleave. A torn record left at the end by a crash is cut off first; a failed
//   write cuts the file back to where it was. Finding the last record reads only the
//   record headers, so an append costs what changed, not the file's size.
// * A full save holds the replaced file's exclusive flock while it renames, and
//   appenders and loaders lock the file that the name points at once locked, so an
//   append never lands in a file that a save has just replaced, and a load never
//   sees half an append.
// * Loading reads the whole file (never trusting st_size alone), checks every
//   length against the bytes that remain before allocating, every checksum and the
//   chain of deltas, and builds the state from the image plus every complete
//   delta. A final delta cut short (the trace of a crash while appending) is left
//   out and reported; any other damage is an error naming the offset, and nothing
//   is built.
// * Everything here is pure C++ on plain file descriptors and runs without the
//   interpreter lock; records are immutable, so saving needs no store lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "store/snapshot.h"

namespace tallowmere {

struct PersistError {
  enum class Kind {
    kOs,        // the file system refused: `os_errno` says why
    kDamaged,   // the file is not a sound snapshot file; the message names the offset
    kMismatch,  // the request does not fit the file or the snapshots (wrong base, other store)
  };
  Kind kind;
  int os_errno = 0;
  std::string message;
};

struct PersistDone {};

struct TornTail {
  std::uint64_t offset = 0;  // where the incomplete record starts
  std::uint64_t bytes = 0;   // how many bytes of it are present
};

struct LoadedState {
  SnapshotData state;  // lineage and id of the last complete record; shard maps private
  std::uint64_t records = 0;
  std::optional<TornTail> torn;
};

// Points at which a save can be observed; C++ crash tests kill the process there.
enum class SaveStage { kTempWritten, kTempSynced, kRenamed, kDirSynced, kDeltaWritten };
using SaveObserver = void (*)(SaveStage);

Result<PersistDone, PersistError> save_image(const std::string& path, const SnapshotData& record,
                                             SaveObserver observer = nullptr);
Result<PersistDone, PersistError> append_delta(const std::string& path, const SnapshotData& base,
                                               const SnapshotData& record, SaveObserver observer = nullptr);
Result<LoadedState, PersistError> load_snapshot_file(const std::string& path);

// The loader's work on bytes already in memory (for tests and fuzzing).
Result<LoadedState, PersistError> parse_snapshot_file(std::string_view bytes);

// The bytes save_image() and append_delta() write, without touching any file.
std::string encode_image_file(const SnapshotData& record);
std::string encode_delta_record(const SnapshotData& base, const SnapshotData& record);

}  // namespace tallowmere
