// persist/replacement.h: a new file that takes a path's place atomically, for full
// snapshot saves and log compaction alike. The protocol, and what a crash at each
// step leaves:
//   begin:  follow links in the last component; refuse a target that is not a
//           regular file or that a durable store holds for writing; open the
//           directory (so a directory we cannot sync fails us now, before anything
//           is replaced); create `.tm-<hash>-<random>.tmp` beside the target with
//           mode 0600, then give it the target's mode (and owner, as root).
//           A crash leaves the target as it was and a temporary file, which the
//           next Store.open of the target removes.
//   write:  the caller writes the temporary file through fd().
//   commit: fdatasync; take the target's exclusive flock (appends and loads in
//           progress finish first; later ones find the new file); check again that
//           no durable store holds it; rename over the target; fsync the directory.
//           A crash before the rename leaves the old file, after it the new one:
//           both whole. Until the directory sync, a power cut may keep either name.
// The temporary file is removed on every failure, and by the destructor unless
// commit() renamed it.
#pragma once

#include <optional>
#include <string>

#include "common/error.h"
#include "persist/file_io.h"
#include "persist/persist_error.h"
#include "persist/snapshot_file.h"

namespace tallowmere::persist {

class Replacement {
 public:
  Replacement() = default;
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  // kThisLog: the durable store that holds the target is the one replacing it
  // (compaction): its own writer's lock is expected, and no appender or loader
  // needs waiting for.
  enum class Writer { kAnyone, kThisLog };
  std::optional<PersistError> begin(const std::string& path, Writer writer = Writer::kAnyone);
  int fd() const noexcept { return file_.get(); }
  const std::string& target() const noexcept { return target_; }
  // Syncs, renames and syncs the directory. The descriptor stays open (for a log
  // that goes on writing the new file); take it with release_descriptor().
  std::optional<PersistError> commit(SaveObserver observer = nullptr);
  void release_descriptor(Descriptor& out) noexcept { out.swap(file_); }
  bool renamed() const noexcept { return committed_; }

 private:
  std::string target_;
  std::string temporary_;
  Descriptor directory_;
  Descriptor file_;
  Writer writer_ = Writer::kAnyone;
  bool committed_ = false;
};

// Opens `path` (a regular file) and flocks it (LOCK_EX or LOCK_SH), making sure the
// file locked is still the one `path` names: a full save renames its new file over
// the name while it holds the old file's exclusive lock, so a descriptor that got
// its lock after such a rename points at a file nobody will read again, and is
// opened anew. 0 or the errno.
int open_locked(const std::string& path, int flags, int operation, Descriptor& out) noexcept;

void notify(SaveObserver observer, SaveStage stage);

}  // namespace tallowmere::persist
