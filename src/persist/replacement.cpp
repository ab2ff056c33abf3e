#include "persist/replacement.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "persist/format.h"

namespace tallowmere::persist {

PersistError os_error(int error, std::string what) { return {PersistError::Kind::kOs, error, std::move(what)}; }

PersistError damage_error(const Damage& damage) {
  return {PersistError::Kind::kDamage, 0,
          "snapshot file is damaged at offset " + std::to_string(damage.offset) + ": " + damage.what};
}

PersistError mismatch_error(std::string message) { return {PersistError::Kind::kMismatch, 0, std::move(message)}; }

PersistError busy_error(long holder_pid) {
  std::string what = "held open for writing by a durable store";
  if (holder_pid > 0) what += " in process " + std::to_string(holder_pid);
  if (holder_pid == 0) what += " in this process";
  return os_error(EBUSY, std::move(what));
}

void notify(SaveObserver observer, SaveStage stage) {
  if (observer != nullptr) observer(stage);
}

int open_locked(const std::string& path, int flags, int operation, Descriptor& out) noexcept {
  for (;;) {
    Descriptor fd;
    if (const int error = open_regular(path, flags, fd); error != 0) return error;
    if (const int error = lock_file(fd.get(), operation); error != 0) return error;
    struct stat locked {}, named {};
    if (::fstat(fd.get(), &locked) != 0) return errno;
    if (::stat(path.c_str(), &named) != 0) {
      if (errno == ENOENT) continue;  // renamed away and not yet replaced: look again
      return errno;
    }
    if (locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      out.swap(fd);
      return 0;
    }
  }
}

namespace {

// A durable store holding the file at `path` open for writing, if any.
std::optional<PersistError> held_by_writer(const std::string& path) {
  Descriptor probe;
  if (open_regular(path, O_RDONLY, probe) != 0) return std::nullopt;  // absent: nobody holds it
  const long holder = writer_pid(probe.get());
  if (holder >= 0) return busy_error(holder);
  return std::nullopt;
}

}  // namespace

Replacement::~Replacement() {
  if (!temporary_.empty() && !committed_) ::unlink(temporary_.c_str());
}

std::optional<PersistError> Replacement::begin(const std::string& path, Writer writer) {
  writer_ = writer;
  if (const int error = follow_links(path, target_); error != 0) return os_error(error);
  struct stat existing {};
  const int status = stat_regular(target_, existing);
  if (status == kNotRegularFile) return os_error(status, "not a regular file");
  if (status != 0 && status != ENOENT) return os_error(status);
  if (status == 0 && writer_ == Writer::kAnyone) {
    if (auto busy = held_by_writer(target_)) return busy;
  }
  if (const int error = open_directory(directory_of(target_), directory_); error != 0) {
    return os_error(error, "cannot open the directory to sync it");
  }
  const std::string temporary = temporary_name(target_);
  if (const int error = file_.open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600); error != 0) {
    return os_error(error);
  }
  temporary_ = temporary;
  // The new file gets the old one's permissions before it holds a byte; a new name
  // gets what open() would give it.
  mode_t mode = 0;
  if (status == 0) {
    mode = existing.st_mode & 07777;
    if (::geteuid() == 0) (void)::fchown(file_.get(), existing.st_uid, existing.st_gid);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(file_.get(), mode) != 0) return os_error(errno);
  return std::nullopt;
}

std::optional<PersistError> Replacement::commit(SaveObserver observer) {
  if (const int error = sync_data(file_.get()); error != 0) return os_error(error, "fsync");
  notify(observer, SaveStage::kTempSynced);
  {
    // An append in progress on the file being replaced finishes first; appends that
    // wait for this lock find the file renamed away and open the new one.
    Descriptor previous;
    if (writer_ == Writer::kAnyone && open_regular(target_, O_RDONLY, previous) == 0) {
      (void)lock_file(previous.get(), LOCK_EX);  // best effort: unreadable files go unlocked
      const long holder = writer_pid(previous.get());
      if (holder >= 0) return busy_error(holder);
    }
    if (const int error = rename_path(temporary_, target_); error != 0) return os_error(error, "rename");
  }
  committed_ = true;
  notify(observer, SaveStage::kRenamed);
  // Without this a power cut can leave the name pointing at the old file, or at none.
  if (const int error = sync_directory(directory_); error != 0) return os_error(error, "fsync directory");
  notify(observer, SaveStage::kDirSynced);
  return std::nullopt;
}

}  // namespace tallowmere::persist
