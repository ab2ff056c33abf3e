// persist/persist_error.h: how file operations report failure, as values. The
// binding turns kOs into the matching OSError subclass (with the path), the other
// kinds into ValueError.
#pragma once

#include <string>

namespace tallowmere {

struct PersistError {
  enum class Kind {
    kOs,        // the file system refused: `os_errno` says why, `message` may say what
    kDamage,    // the file is not a sound store file; the message names the offset
    kMismatch,  // the request does not fit the file or the snapshots (wrong base, other store)
  };
  Kind kind;
  int os_errno = 0;
  std::string message;
};

namespace persist {

struct Damage;

PersistError os_error(int error, std::string what = {});
PersistError damage_error(const Damage& damage);
PersistError mismatch_error(std::string message);
// A file that a durable store holds open for writing (EBUSY), naming the holder.
PersistError busy_error(long holder_pid);

}  // namespace persist
}  // namespace tallowmere
