#include "persist/file_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "common/crc32c.h"
#include "common/fork_hooks.h"
#include "persist/format.h"
#include "persist/operation_codec.h"
#include "persist/payload.h"
#include "persist/replacement.h"

namespace tallowmere::persist {
namespace {

// Records appended during a compaction are copied into the new file in rounds
// without the log's mutex until fewer than this many bytes remain; the rest is
// copied with writers held off.
constexpr std::uint64_t kCopyUnlockedDown = 1 << 20;
constexpr std::size_t kCopyChunkBytes = 1 << 20;

// Every log still open, so interpreter exit can sync them. Never destroyed.
class OpenLogs {
 public:
  static OpenLogs& instance() noexcept {
    static OpenLogs* logs = new OpenLogs();
    return *logs;
  }
  void add(FileLog* log) {
    std::lock_guard lock(mutex_);
    logs_.insert(log);
  }
  void remove(FileLog* log) noexcept {
    std::lock_guard lock(mutex_);
    logs_.erase(log);
  }
  template <class F>
  void for_each(F&& f) noexcept {
    std::lock_guard lock(mutex_);
    for (FileLog* log : logs_) f(*log);
  }

 private:
  OpenLogs() noexcept {
    fork_hooks::add(fork_hooks::Rank::kOpenLogs, &before_fork, &after_fork_in_parent, &after_fork_in_child);
  }
  static void before_fork() noexcept { instance().mutex_.lock(); }
  static void after_fork_in_parent() noexcept { instance().mutex_.unlock(); }
  static void after_fork_in_child() noexcept {
    new (&instance().mutex_) std::mutex();
    instance().logs_.clear();  // the child's copies refuse to write: nothing to sync
  }

  std::mutex mutex_;
  std::set<FileLog*> logs_;
};

// Copies bytes [from, until) of one file to another at `to`; 0 or the errno.
int copy_range(int from_fd, std::uint64_t from, std::uint64_t until, int to_fd, std::uint64_t to,
               std::vector<char>& chunk) {
  while (from < until) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(until - from, chunk.size()));
    const std::int64_t got = read_at(from_fd, chunk.data(), want, from);
    if (got < 0) return static_cast<int>(-got);
    if (got == 0) return EIO;  // the log is shorter than its own records say
    if (const int error = write_all_at(to_fd, chunk.data(), static_cast<std::size_t>(got), to); error != 0) {
      return error;
    }
    from += static_cast<std::uint64_t>(got);
    to += static_cast<std::uint64_t>(got);
  }
  return 0;
}

// Writes the file header and an image of `state` into a replacement; returns the
// image record's end, or an error.
Result<std::uint64_t, PersistError> write_image(Replacement& replacement, const SnapshotData& state,
                                                std::uint64_t image_id) {
  struct Sink {
    int fd;
    std::uint64_t offset;
    int error = 0;
    void put(const void* data, std::size_t size) {
      if (error == 0) error = write_all_at(fd, data, size, offset);
      offset += size;
    }
  } sink{replacement.fd(), kHeaderBytesV2 + kRecordHeaderBytes};
  PayloadWriter<Sink> out(sink);
  write_image_payload(out, state);
  out.flush();
  const std::uint64_t end = kHeaderBytesV2 + kRecordHeaderBytes + out.length();
  const HeaderBytes file = encode_file_header(new_lineage(), {1, kHeaderBytesV2, end});
  const RecordHeaderBytes header = encode_record_header({RecordKind::kImage, out.length(), image_id, 0, out.crc()});
  int error = sink.error;
  if (error == 0) error = write_all_at(replacement.fd(), file.data(), file.size(), 0);
  if (error == 0) error = write_all_at(replacement.fd(), header.data(), header.size(), kHeaderBytesV2);
  if (error != 0) return Result<std::uint64_t, PersistError>::failure(os_error(error, "write"));
  return end;
}

}  // namespace

FileLog::FileLog(std::string path, std::string target, LogOptions options)
    : path_(std::move(path)), target_(std::move(target)), options_(options) {}

FileLog::~FileLog() {
  detach();
  try {
    close();
  } catch (...) {
    // Dropped without close(): the caller that wanted the error called close() itself.
  }
}

JournalError FileLog::io_error(int error, const std::string& what) const {
  return JournalError(JournalError::Reason::kIo, error, what, path_);
}

void FileLog::throw_refusal_locked() const {
  if (inherited_) {
    throw JournalError(JournalError::Reason::kInherited, 0,
                       "this store was inherited across fork() and its log belongs to the parent process; "
                       "open a file of the child's own to write",
                       path_);
  }
  if (closed_) throw JournalError(JournalError::Reason::kClosed, 0, "the store is closed", path_);
  throw io_error(broken_errno_, "an earlier sync of the log failed; the store takes no writes until it is reopened");
}

JournalRecord FileLog::prepare(std::span<const Operation> operations) {
  JournalRecord record;
  record.bytes.assign(kRecordHeaderBytes, '\0');
  append_operations(record.bytes, operations);
  const std::uint64_t length = record.bytes.size() - kRecordHeaderBytes;
  const RecordHeaderBytes header = encode_record_header(
      {RecordKind::kOperations, length, 0, 0, crc32c(record.bytes.data() + kRecordHeaderBytes, length)});
  std::memcpy(record.bytes.data(), header.data(), header.size());
  return record;
}

std::uint64_t FileLog::append(JournalRecord& record) {
  std::unique_lock lock(mutex_);
  if (refuses_locked()) throw_refusal_locked();
  auto* bytes = reinterpret_cast<unsigned char*>(record.bytes.data());
  const std::uint64_t id = last_id_ + 1;
  put_le(bytes + 16, id, 8);
  put_le(bytes + 24, last_id_, 8);
  put_le(bytes, crc32c(bytes + 4, kRecordHeaderBytes - 4), 4);
  if (const int error = write_all_at(file_.get(), bytes, record.bytes.size(), end_); error != 0) {
    // Nothing of a failed record may stay; if it cannot be cut off, the file's end
    // is no longer known and the log takes no more writes.
    if (truncate_to(file_.get(), end_) != 0) broken_errno_ = error;
    throw io_error(error, "write");
  }
  last_start_ = end_;
  end_ += record.bytes.size();
  last_id_ = id;
  maybe_start_compaction_locked();
  return id;
}

void FileLog::sync_locked(std::unique_lock<std::mutex>& lock) {
  syncing_ = true;
  const std::uint64_t target_id = last_id_;
  const std::uint64_t target_end = end_;
  const std::uint64_t target_start = last_start_;
  const int fd = file_.get();  // compaction and close wait for !syncing_ before they replace it
  lock.unlock();
  const int error = sync_data(fd);
  lock.lock();
  syncing_ = false;
  if (error != 0) {
    if (broken_errno_ == 0) {
      broken_errno_ = error;
      // In kAlways mode nothing past the last good sync was acknowledged, and the
      // store puts those changes back; cut them off the file too, so a reopen does
      // not bring them back. Best effort: the disk is failing.
      if (options_.mode == SyncMode::kAlways) (void)truncate_to(fd, durable_end_);
    }
  } else if (target_id > durable_id_) {
    durable_id_ = target_id;
    durable_end_ = target_end;
    durable_start_ = target_start;
    if (durable_end_ - mark_end_ >= kMarkStep) write_mark_locked();
  }
  synced_.notify_all();
}

void FileLog::wait_for_sync_locked(std::unique_lock<std::mutex>& lock, std::uint64_t position) {
  while (durable_id_ < position) {
    if (broken_errno_ != 0) throw io_error(broken_errno_, "sync");
    if (!syncing_) {
      sync_locked(lock);
    } else {
      synced_.wait(lock);
    }
  }
}

void FileLog::write_mark_locked() noexcept {
  if (durable_end_ <= mark_end_ || !file_.valid()) return;
  const Mark mark{mark_sequence_ + 1, durable_start_, durable_end_};
  const MarkSlotBytes slot = encode_mark_slot(mark);
  // It reaches the disk with the next sync; until then the older mark stands.
  if (write_all_at(file_.get(), slot.data(), slot.size(), mark_slot_offset(mark)) == 0) {
    mark_sequence_ = mark.sequence;
    mark_end_ = mark.record_end;
  }
}

void FileLog::wait_durable(std::uint64_t position) {
  if (options_.mode != SyncMode::kAlways) return;
  std::unique_lock lock(mutex_);
  wait_for_sync_locked(lock, position);
}

std::uint64_t FileLog::durable_position() const noexcept {
  std::lock_guard lock(mutex_);
  return durable_id_;
}

void FileLog::check_writable() {
  std::lock_guard lock(mutex_);
  if (refuses_locked()) throw_refusal_locked();
}

JournalCursor FileLog::cursor() const noexcept {
  std::lock_guard lock(mutex_);
  return {last_id_, end_};
}

void FileLog::flush() {
  std::unique_lock lock(mutex_);
  if (inherited_ || closed_) throw_refusal_locked();
  wait_for_sync_locked(lock, last_id_);
  write_mark_locked();
}

bool FileLog::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void FileLog::detach() noexcept {
  {
    std::lock_guard lock(mutex_);
    if (inherited_) return;  // the threads are the parent's
    stopping_ = true;
    store_ = nullptr;
  }
  wake_.notify_all();
  compaction_cue_.notify_all();
  for (std::unique_ptr<std::thread>* thread : {&interval_thread_, &compaction_thread_}) {
    if (*thread && (*thread)->joinable() && (*thread)->get_id() != std::this_thread::get_id()) (*thread)->join();
  }
}

void FileLog::close() {
  detach();  // no sync thread and no compaction run from here on
  Descriptor file;  // closed after the mutex is released (the descriptor list ranks below it)
  int error = 0;
  {
    std::unique_lock lock(mutex_);
    if (closed_ || inherited_) return;
    synced_.wait(lock, [&] { return !syncing_; });
    error = broken_errno_;
    if (error == 0 && durable_id_ < last_id_) {
      error = sync_data(file_.get());
      if (error == 0) {
        durable_id_ = last_id_;
        durable_end_ = end_;
        durable_start_ = last_start_;
      }
    }
    if (error == 0 && mark_end_ < durable_end_) {
      // A cleanly closed file has its mark at its end, so a reopen checks all of it.
      write_mark_locked();
      error = sync_data(file_.get());
    }
    closed_ = true;
    file.swap(file_);
    synced_.notify_all();
  }
  OpenLogs::instance().remove(this);
  if (const int closing = file.close(); error == 0) error = closing;
  if (error != 0) throw io_error(error, "sync at close");
}

void FileLog::flush_all_open() noexcept {
  OpenLogs::instance().for_each([](FileLog& log) {
    try {
      log.flush();
    } catch (...) {
      // At exit there is no one left to tell.
    }
  });
}

void FileLog::lock_for_fork() noexcept { mutex_.lock(); }

void FileLog::unlock_after_fork() noexcept { mutex_.unlock(); }

void FileLog::renew_in_child() noexcept {
  // The child's only thread: the parent's threads that held these are gone. Built
  // over the old objects without destroying them (destroying held ones is undefined).
  new (&mutex_) std::mutex();
  new (&compaction_mutex_) std::mutex();
  new (&synced_) std::condition_variable();
  new (&wake_) std::condition_variable();
  new (&compaction_cue_) std::condition_variable();
  inherited_ = true;
  syncing_ = false;
  // The parent's threads do not exist here: their handles must never be joined.
  (void)interval_thread_.release();
  (void)compaction_thread_.release();
}

void FileLog::start_threads() {
  if (options_.mode != SyncMode::kInterval) return;
  interval_thread_ = std::make_unique<std::thread>([this] { run_interval_syncs(); });
}

void FileLog::run_interval_syncs() {
  const auto interval = std::chrono::duration<double>(options_.interval_seconds);
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, interval);
    if (stopping_ || closed_ || broken_errno_ != 0) break;
    if (durable_id_ < last_id_ && !syncing_) sync_locked(lock);
  }
}

void FileLog::maybe_start_compaction_locked() {
  if (compacting_ || compaction_wanted_ || stopping_ || store_ == nullptr || end_ < compact_after_) return;
  const std::uint64_t log_bytes = end_ - image_end_;
  const std::uint64_t image_bytes = image_end_ - kHeaderBytesV2;
  if (log_bytes <= std::max(options_.compact_min_bytes, options_.compact_ratio * image_bytes)) return;
  try {
    // The thread is made once and lives until detach() joins it; it is never joined
    // here, where the mutex is held and it may be waiting for it.
    if (!compaction_thread_) compaction_thread_ = std::make_unique<std::thread>([this] { run_compactions(); });
    compaction_wanted_ = true;
    compaction_cue_.notify_one();
  } catch (...) {
    // No thread: the record is written all the same, and the next append tries again.
  }
}

void FileLog::run_compactions() {
  std::unique_lock lock(mutex_);
  for (;;) {
    compaction_cue_.wait(lock, [&] { return stopping_ || compaction_wanted_; });
    if (stopping_) return;
    compaction_wanted_ = false;
    lock.unlock();
    try {
      compact_now(Trigger::kLogSize);
    } catch (...) {
      // Nobody waits for it: the log keeps growing and the next trigger retries.
    }
    lock.lock();
  }
}

void FileLog::compact() { compact_now(Trigger::kCall); }

void FileLog::compact_now(Trigger trigger) {
  {
    std::lock_guard lock(mutex_);
    if (refuses_locked()) throw_refusal_locked();
  }
  std::lock_guard one_at_a_time(compaction_mutex_);
  Store* store = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (refuses_locked()) throw_refusal_locked();
    store = store_;
    compacting_ = true;
  }
  // Clears the flag on every way out; a failed automatic run waits for the log to
  // grow by as much again before the next try.
  struct Done {
    FileLog& log;
    Trigger trigger;
    bool succeeded = false;
    ~Done() {
      std::lock_guard lock(log.mutex_);
      log.compacting_ = false;
      if (!succeeded && trigger == Trigger::kLogSize) {
        log.compact_after_ = log.end_ + std::max(log.options_.compact_min_bytes, log.end_ - log.image_end_);
      }
    }
  } done{*this, trigger};
  if (store == nullptr) return;
  const auto failed = [&](const PersistError& error) { return io_error(error.os_errno, error.message); };

  JournalCursor cursor;
  const SnapshotRef state = store->capture(cursor);  // O(1): the store goes on meanwhile
  Replacement replacement;
  if (auto refused = replacement.begin(target_, Replacement::Writer::kThisLog)) throw failed(*refused);
  // Held before the new file can be found under the path, so no other opener gets it.
  if (const int error = lock_writer(replacement.fd()); error != 0) throw io_error(error, "lock");
  auto image = write_image(replacement, *state, cursor.position);
  if (!image) throw failed(image.error());
  const std::uint64_t image_end = image.value();

  // The records appended since the capture follow the image, as they are.
  std::vector<char> chunk(kCopyChunkBytes);
  std::uint64_t from = cursor.offset;
  std::uint64_t to = image_end;
  for (;;) {
    std::uint64_t until = 0;
    int old_fd = -1;
    {
      std::lock_guard lock(mutex_);
      if (refuses_locked() || stopping_) throw JournalError(JournalError::Reason::kClosed, 0, "compaction stopped", path_);
      until = end_;
      old_fd = file_.get();  // only compaction replaces it, and this is the compaction
    }
    if (until - from < kCopyUnlockedDown) break;
    if (const int error = copy_range(old_fd, from, until, replacement.fd(), to, chunk); error != 0) {
      throw io_error(error, "copy");
    }
    to += until - from;
    from = until;
  }
  if (const int error = sync_data(replacement.fd()); error != 0) throw io_error(error, "fsync");

  Descriptor old;  // closed after the mutex is released
  std::optional<PersistError> commit_error;
  {
    std::unique_lock lock(mutex_);
    synced_.wait(lock, [&] { return !syncing_; });  // no sync may use the old descriptor any more
    if (refuses_locked() || stopping_) throw JournalError(JournalError::Reason::kClosed, 0, "compaction stopped", path_);
    if (const int error = copy_range(file_.get(), from, end_, replacement.fd(), to, chunk); error != 0) {
      throw io_error(error, "copy");
    }
    to += end_ - from;
    notify(options_.compaction_observer, SaveStage::kTempWritten);
    commit_error = replacement.commit(options_.compaction_observer);
    if (!replacement.renamed()) throw failed(*commit_error);
    // The path names the new file now: go on in it, whatever else failed.
    old.swap(file_);
    replacement.release_descriptor(file_);
    last_start_ = last_start_ >= cursor.offset ? last_start_ - cursor.offset + image_end : kHeaderBytesV2;
    end_ = to;
    image_end_ = image_end;
    durable_id_ = last_id_;  // everything in the new file was synced by commit()
    durable_end_ = end_;
    durable_start_ = last_start_;
    mark_sequence_ = 1;
    mark_end_ = image_end;
    compact_after_ = 0;
    write_mark_locked();
    synced_.notify_all();
  }
  done.succeeded = true;
  if (commit_error) throw failed(*commit_error);
}

Result<std::shared_ptr<FileLog>, PersistError> open_log(const std::string& path, Store& store,
                                                        const LogOptions& options, OpenReport& report) {
  using Outcome = Result<std::shared_ptr<FileLog>, PersistError>;
  std::string target;
  if (const int error = follow_links(path, target); error != 0) return Outcome::failure(os_error(error));
  Descriptor fd;
  for (;;) {
    const int error = open_locked(target, O_RDWR, LOCK_EX, fd);
    if (error == 0) break;
    if (error != ENOENT) {
      return Outcome::failure(os_error(error, error == kNotRegularFile ? "not a regular file" : ""));
    }
    // A new store: an empty image, in place before the file can be opened.
    Replacement replacement;
    if (auto refused = replacement.begin(target)) return Outcome::failure(std::move(*refused));
    auto image = write_image(replacement, SnapshotData{}, 0);
    if (!image) return Outcome::failure(image.error());
    if (auto failed = replacement.commit()) return Outcome::failure(std::move(*failed));
  }
  if (const int error = lock_writer(fd.get()); error != 0) {
    return Outcome::failure(error == EAGAIN ? busy_error(writer_pid(fd.get())) : os_error(error, "lock"));
  }
  remove_leftover_temporaries(target);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Outcome::failure(os_error(errno));
  auto loaded = load_from_descriptor(fd.get(), static_cast<std::uint64_t>(info.st_size));
  if (!loaded) return Outcome::failure(loaded.error());
  LoadedState& state = loaded.value();
  report.torn = state.torn;
  if (state.torn && state.header.version == kVersion2) {
    if (const int error = truncate_to(fd.get(), state.end); error != 0) return Outcome::failure(os_error(error, "truncate"));
  }
  std::shared_ptr<FileLog> log(new FileLog(path, target, options));
  log->end_ = state.end;
  log->last_start_ = state.last_start;
  log->last_id_ = state.state.id;
  log->image_end_ = state.image_end;
  if (state.header.mark) {
    log->mark_sequence_ = state.header.mark->sequence;
    log->mark_end_ = state.header.mark->record_end;
  }
  // What the file holds now is synced before anything is appended, so the mark can
  // cover it and a later torn tail is told from damage.
  if (const int error = sync_data(fd.get()); error != 0) return Outcome::failure(os_error(error, "fsync"));
  log->durable_id_ = log->last_id_;
  log->durable_end_ = log->end_;
  log->durable_start_ = log->last_start_;
  log->file_.swap(fd);
  store.restore(state.state);
  log->store_ = &store;
  store.attach_journal(log);
  if (state.header.version == kVersion1) {
    // Operations records go only into version 2 files: rewrite it before the first.
    try {
      log->compact();
    } catch (const JournalError& error) {
      log->detach();
      return Outcome::failure(os_error(error.os_errno(), error.what()));
    }
    report.upgraded = true;
  } else {
    std::lock_guard lock(log->mutex_);
    log->write_mark_locked();
  }
  (void)lock_file(log->file_.get(), LOCK_UN);  // loaders may read it from now on
  OpenLogs::instance().add(log.get());
  log->start_threads();
  return log;
}

}  // namespace tallowmere::persist
