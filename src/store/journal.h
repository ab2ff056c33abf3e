// store/journal.h: what a store needs from a write-ahead log. The store calls
// it; a file log (persist/file_log.h) implements it. The store never knows how
// records are framed or where they go.
// * prepare() turns operations into a record with no store lock held (encoding
//   and checksums cost time in proportion to the values).
// * append() is called with the store locks that order the change held, after
//   the change has been computed and before anyone can see it: records reach the
//   log in exactly the order the store applies them. It writes the record whole
//   or throws having written nothing (JournalError), and the store then puts its
//   maps back. It returns the record's position.
// * wait_durable() is called with no store lock held and returns once the record
//   at `position` is as safe as the log's mode promises; it throws JournalError
//   when that cannot be, and then every later append throws too. keeps_undo()
//   says whether a position can still fail that way after append() returned
//   (a log that syncs before acknowledging), in which case the store keeps what
//   it needs to put the change back until durable_position() passes it.
// * Fork: the store takes lock_for_fork() after its own locks, releases it with
//   them in the parent, and calls renew_in_child() in the child, where the log
//   must stop writing (the parent owns the file).
#pragma once

#include <cerrno>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "store/operation.h"

namespace tallowmere {

// A failed write or sync, or a log that refuses writes.
class JournalError : public std::runtime_error {
 public:
  enum class Reason {
    kIo,         // the file system refused: os_errno() says why
    kClosed,     // the store was closed
    kInherited,  // the store was inherited across fork(): its log is the parent's
  };
  JournalError(Reason reason, int os_errno, const std::string& message, std::string path)
      : std::runtime_error(message), reason_(reason), os_errno_(os_errno), path_(std::move(path)) {}
  Reason reason() const noexcept { return reason_; }
  int os_errno() const noexcept { return os_errno_; }
  const std::string& path() const noexcept { return path_; }

 private:
  Reason reason_;
  int os_errno_;
  std::string path_;
};

// Where a log stands: its last record's position, and where that record ends in
// the log's own terms (a file offset). Opaque to the store.
struct JournalCursor {
  std::uint64_t position = 0;
  std::uint64_t offset = 0;
};

struct JournalRecord {
  std::string bytes;  // framing and payload, position fields filled in by append()
};

class Journal {
 public:
  virtual ~Journal() = default;

  virtual JournalRecord prepare(std::span<const Operation> operations) = 0;
  virtual std::uint64_t append(JournalRecord& record) = 0;
  virtual void wait_durable(std::uint64_t position) = 0;
  virtual bool keeps_undo() const noexcept = 0;
  virtual std::uint64_t durable_position() const noexcept = 0;
  // Throws the JournalError an append would throw now, if any (closed, broken,
  // inherited); lets a store refuse before it computes a change.
  virtual void check_writable() = 0;
  // Where the log stands; the store calls it with all its shard locks held, so no
  // change is part way through.
  virtual JournalCursor cursor() const noexcept = 0;
  // The store is going away: stop every use of it (background work included).
  virtual void detach() noexcept = 0;

  virtual void lock_for_fork() noexcept = 0;
  virtual void unlock_after_fork() noexcept = 0;
  virtual void renew_in_child() noexcept = 0;
};

}  // namespace tallowmere
