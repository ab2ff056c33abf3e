// persist/snapshot_file.h: snapshots on disk. A file holds one full image of a
// snapshot followed by any number of deltas, each taking the state from the
// record before it to a later snapshot of the same store (format: format.md).
// * Full image: written to a temporary file in the target's directory (with the
//   mode of the file it replaces), flushed, renamed over the target, then the
//   directory is flushed. A reader sees the old file or the new one; on failure
//   the temporary file is removed and the target is as it was. A symbolic link is
//   followed, so the link stays and its target is replaced; a path that is not a
//   regular file is refused before anything is written; the directory is opened
//   first, so a save that could not sync it fails before replacing anything.
// * Delta: appended only when the file's last complete record is `base` (same
//   lineage, same snapshot id), under an exclusive flock so two appenders never
//   interleave. The file's mark leads to its last record in constant time, so an
//   append costs what changed, not the file's size (a version 1 file, which has
//   no mark, is walked header by header). A torn tail left by a crash is cut off
//   first; a failed write cuts the file back to where it was.
// * A full save holds the replaced file's exclusive flock while it renames, and
//   appenders and loaders lock the file that the name points at once locked, so
//   an append never lands in a file that a save has just replaced, and a load
//   never sees half an append. A file that a durable store holds open for writing
//   is neither replaced nor appended to.
// * Loading (persist/loader.h) streams the file through a bounded buffer.
// * Everything here is pure C++ on plain file descriptors and runs without the
//   interpreter lock; records are immutable, so saving needs no store lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "persist/persist_error.h"
#include "store/snapshot.h"

namespace tallowmere {

struct PersistDone {};

// Points at which a save can be observed; C++ crash tests kill the process there.
enum class SaveStage { kTempWritten, kTempSynced, kRenamed, kDirSynced, kDeltaWritten };
using SaveObserver = void (*)(SaveStage);

Result<PersistDone, PersistError> save_image(const std::string& path, const SnapshotData& record,
                                             SaveObserver observer = nullptr);
Result<PersistDone, PersistError> append_delta(const std::string& path, const SnapshotData& base,
                                               const SnapshotData& record, SaveObserver observer = nullptr);

// The bytes save_image() and append_delta() write, without touching any file.
std::string encode_image_file(const SnapshotData& record);
std::string encode_delta_record(const SnapshotData& base, const SnapshotData& record);


}  // namespace tallowmere
