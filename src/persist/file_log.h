// persist/file_log.h: a store that is durable by itself. Its file (format.md) is
// an image followed by one operations record per change; opening it loads the
// image and replays the records, and the store goes on appending to the same file.
// * Order: the store appends a record while it holds the shard locks that order
//   the change (store.h), so the file holds changes in the order they were
//   applied; appends take the log's mutex, which is only ever taken after shard
//   locks and held for one pwrite.
// * Modes: kAlways acknowledges a change once an fdatasync covers its record.
//   Writers share syncs (group commit): the first waiter to find no sync running
//   syncs everything written so far with the mutex released, and wakes every
//   waiter whose record that covered. kInterval acknowledges once the record is
//   in the OS (it survives a killed process); a thread syncs at least every
//   interval. kNever syncs only on flush(), compaction and close().
// * Failures: a failed write is cut back off the file and raises; nothing is
//   applied. A failed sync breaks the log for good (the page cache may have
//   dropped the data, so a retry proves nothing): every later append raises, and
//   in kAlways mode the store puts back every change the sync did not cover.
// * The mark (format.md) is advanced after syncs, at least every kMarkStep bytes
//   and at flush and close, so a reopen tells damage from a torn tail.
// * Compaction, when the log outgrows its image (log bytes > max(64 MiB, 2 x image
//   bytes)) or on compact(): an O(1) capture of the state and of the log's end,
//   an image of it written to a temporary file with no lock held, then the
//   records appended since copied behind it, first without the mutex and the last
//   few with it; then sync, rename over the path, sync the directory and go on in
//   the new file, all under the mutex. A crash before the rename leaves the old
//   file (and a temporary one that the next open removes), after it the new one:
//   both hold every acknowledged record.
// * One writer per path: an open-file-description lock (file_io.h) held for the
//   log's life; a second open, in this process or another, fails at once.
// * Fork: the child's log refuses to write (its descriptors are closed by the
//   registry); it never touches its parent's file, and holds none of its locks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/error.h"
#include "persist/file_io.h"
#include "persist/loader.h"
#include "persist/persist_error.h"
#include "persist/snapshot_file.h"
#include "store/journal.h"
#include "store/store.h"

namespace tallowmere::persist {

enum class SyncMode { kAlways, kInterval, kNever };

struct LogOptions {
  SyncMode mode = SyncMode::kAlways;
  double interval_seconds = 1.0;
  std::uint64_t compact_min_bytes = 64ull << 20;  // the log may reach this before compacting
  std::uint64_t compact_ratio = 2;                // ...or this many times the image
  SaveObserver compaction_observer = nullptr;     // tests: sees each step of a compaction
};

// What opening found, for the caller to report.
struct OpenReport {
  std::optional<TornTail> torn;  // cut off the file
  bool upgraded = false;         // a version 1 file, rewritten in version 2
};

class FileLog final : public Journal {
 public:
  static constexpr std::uint64_t kMarkStep = 1 << 20;

  ~FileLog() override;

  // Journal
  JournalRecord prepare(std::span<const Operation> operations) override;
  std::uint64_t append(JournalRecord& record) override;
  void wait_durable(std::uint64_t position) override;
  bool keeps_undo() const noexcept override { return options_.mode == SyncMode::kAlways; }
  std::uint64_t durable_position() const noexcept override;
  void check_writable() override;
  JournalCursor cursor() const noexcept override;
  void detach() noexcept override;
  void lock_for_fork() noexcept override;
  void unlock_after_fork() noexcept override;
  void renew_in_child() noexcept override;

  // Syncs everything appended so far; throws JournalError.
  void flush();
  // Writes a new image and goes on in it (see above); throws JournalError.
  void compact();
  // Syncs, marks the end and releases the file; later appends fail as closed.
  // Throws JournalError if the final sync fails (the file is released anyway).
  void close();
  bool closed() const;

  const std::string& path() const noexcept { return path_; }
  SyncMode mode() const noexcept { return options_.mode; }

  // Every log still open, synced at interpreter exit.
  static void flush_all_open() noexcept;

 private:
  friend Result<std::shared_ptr<FileLog>, PersistError> open_log(const std::string&, Store&, const LogOptions&,
                                                                 OpenReport&);
  FileLog(std::string path, std::string target, LogOptions options);

  enum class Trigger { kCall, kLogSize };
  void compact_now(Trigger trigger);
  void start_threads();
  void sync_locked(std::unique_lock<std::mutex>& lock);
  void write_mark_locked() noexcept;
  void wait_for_sync_locked(std::unique_lock<std::mutex>& lock, std::uint64_t position);
  [[noreturn]] void throw_refusal_locked() const;
  bool refuses_locked() const noexcept { return closed_ || inherited_ || broken_errno_ != 0; }
  void maybe_start_compaction_locked();
  void run_interval_syncs();
  void run_compactions();
  JournalError io_error(int error, const std::string& what) const;

  const std::string path_;    // as the caller gave it: named in errors
  const std::string target_;  // links followed: what compaction replaces
  const LogOptions options_;
  Store* store_ = nullptr;    // the store this log records; null once detached

  mutable std::mutex mutex_;
  std::condition_variable synced_;   // a sync finished
  std::condition_variable wake_;     // the interval thread: time to sync, or to stop
  std::condition_variable compaction_cue_;  // the compaction thread: time to compact, or to stop
  Descriptor file_;
  std::uint64_t end_ = 0;            // end of the last record
  std::uint64_t last_start_ = 0;     // start of the last record
  std::uint64_t last_id_ = 0;        // position of the last record
  std::uint64_t image_end_ = 0;      // end of the file's image record
  std::uint64_t durable_id_ = 0;     // every record up to this position is synced
  std::uint64_t durable_end_ = 0;    // ...and ends here
  std::uint64_t durable_start_ = 0;
  std::uint64_t mark_sequence_ = 0;
  std::uint64_t mark_end_ = 0;       // what the last written mark covers
  bool syncing_ = false;             // a sync runs with the mutex released
  int broken_errno_ = 0;             // a sync failed: no more appends
  bool closed_ = false;
  bool inherited_ = false;
  bool stopping_ = false;
  bool compacting_ = false;          // a compaction runs
  bool compaction_wanted_ = false;   // the log outgrew its image: the compaction thread's cue
  std::uint64_t compact_after_ = 0;  // an automatic compaction failed: retry past this end

  std::mutex compaction_mutex_;      // one compaction at a time; taken before mutex_
  std::unique_ptr<std::thread> interval_thread_;
  std::unique_ptr<std::thread> compaction_thread_;
};

// Opens `path` (creating it when absent) for `store`, a new and empty store: takes
// the writer's lock, loads the file into the store, cuts off a torn tail, and
// attaches the log, which records every later change.
Result<std::shared_ptr<FileLog>, PersistError> open_log(const std::string& path, Store& store,
                                                        const LogOptions& options, OpenReport& report);

}  // namespace tallowmere::persist
