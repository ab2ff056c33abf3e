#include "persist/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "common/fork_hooks.h"
#include "common/siphash.h"

namespace tallowmere::persist {

// ---- the registry of open descriptors -------------------------------------------

class DescriptorRegistry {
 public:
  static DescriptorRegistry& instance() noexcept {
    static DescriptorRegistry* registry = new DescriptorRegistry();  // never destroyed: used until exit
    return *registry;
  }

  std::mutex& mutex() noexcept { return mutex_; }
  void link(Descriptor& d) noexcept {  // with the mutex held
    d.prev_ = nullptr;
    d.next_ = head_;
    if (head_ != nullptr) head_->prev_ = &d;
    head_ = &d;
  }
  void unlink(Descriptor& d) noexcept {  // with the mutex held
    (d.prev_ != nullptr ? d.prev_->next_ : head_) = d.next_;
    if (d.next_ != nullptr) d.next_->prev_ = d.prev_;
    d.prev_ = d.next_ = nullptr;
  }

 private:
  DescriptorRegistry() noexcept {
    fork_hooks::add(fork_hooks::Rank::kDescriptors, &before_fork, &after_fork_in_parent, &after_fork_in_child);
  }

  static void before_fork() noexcept { instance().mutex_.lock(); }
  static void after_fork_in_parent() noexcept { instance().mutex_.unlock(); }
  static void after_fork_in_child() noexcept {
    // The child's only thread: the parent's threads that use these are gone.
    DescriptorRegistry& registry = instance();
    for (Descriptor* d = registry.head_; d != nullptr;) {
      Descriptor* next = d->next_;
      ::close(d->fd_);
      d->fd_ = -1;
      d->prev_ = d->next_ = nullptr;
      d = next;
    }
    registry.head_ = nullptr;
    new (&registry.mutex_) std::mutex();
  }

  std::mutex mutex_;
  Descriptor* head_ = nullptr;
};

int Descriptor::open(const char* path, int flags, mode_t mode) noexcept {
  close();
  DescriptorRegistry& registry = DescriptorRegistry::instance();
  std::lock_guard lock(registry.mutex());
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  fd_ = fd;
  registry.link(*this);
  return 0;
}

int Descriptor::close() noexcept {
  if (fd_ < 0) return 0;
  DescriptorRegistry& registry = DescriptorRegistry::instance();
  std::lock_guard lock(registry.mutex());
  registry.unlink(*this);
  const int fd = std::exchange(fd_, -1);
  return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}

void Descriptor::swap(Descriptor& other) noexcept {
  DescriptorRegistry& registry = DescriptorRegistry::instance();
  std::lock_guard lock(registry.mutex());
  if (fd_ >= 0) registry.unlink(*this);
  if (other.fd_ >= 0) registry.unlink(other);
  std::swap(fd_, other.fd_);
  if (fd_ >= 0) registry.link(*this);
  if (other.fd_ >= 0) registry.link(other);
}

// ---- fault injection ----------------------------------------------------------------

namespace {

#ifdef TALLOWMERE_FAULT_INJECTION
std::atomic<std::uint64_t> io_countdown{0};
std::atomic<int> io_error{0};
std::atomic<bool> io_fired{false};

int injected_failure() noexcept {
  std::uint64_t left = io_countdown.load(std::memory_order_relaxed);
  while (left != 0) {
    if (io_countdown.compare_exchange_weak(left, left - 1)) {
      if (left != 1) return 0;
      io_fired.store(true);
      return io_error.load();
    }
  }
  return 0;
}
#else
constexpr int injected_failure() noexcept { return 0; }
#endif

}  // namespace

#ifdef TALLOWMERE_FAULT_INJECTION
namespace io_fault {
void arm(std::uint64_t nth_call, int error) noexcept {
  io_fired.store(false);
  io_error.store(error);
  io_countdown.store(nth_call);
}
void disarm() noexcept { io_countdown.store(0); }
bool triggered() noexcept { return io_fired.load(); }
}  // namespace io_fault
#endif

// ---- calls ---------------------------------------------------------------------------

int open_regular(const std::string& path, int flags, Descriptor& out, mode_t mode) noexcept {
  // Non-blocking, so a FIFO or a device answers at once instead of waiting for a peer.
  if (const int error = out.open(path.c_str(), flags | O_NONBLOCK, mode); error != 0) return error;
  struct stat info {};
  if (::fstat(out.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) {
    out.close();
    return S_ISDIR(info.st_mode) ? EISDIR : kNotRegularFile;
  }
  const int status = ::fcntl(out.get(), F_GETFL);
  if (status < 0 || ::fcntl(out.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return errno;
  return 0;
}

int stat_regular(const std::string& path, struct stat& info) noexcept {
  if (::stat(path.c_str(), &info) != 0) return errno;
  if (S_ISREG(info.st_mode)) return 0;
  return S_ISDIR(info.st_mode) ? EISDIR : kNotRegularFile;
}

int write_all_at(int fd, const void* data, std::size_t size, std::uint64_t offset) noexcept {
  if (const int error = injected_failure(); error != 0) return error;
  const auto* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, at, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return ENOSPC;
    at += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return 0;
}

std::int64_t read_at(int fd, void* out, std::size_t size, std::uint64_t offset) noexcept {
  auto* at = static_cast<char*>(out);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, at + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

int sync_data(int fd) noexcept {
  if (const int error = injected_failure(); error != 0) return error;
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int truncate_to(int fd, std::uint64_t size) noexcept {
  if (const int error = injected_failure(); error != 0) return error;
  while (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int rename_path(const std::string& from, const std::string& to) noexcept {
  if (const int error = injected_failure(); error != 0) return error;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int lock_file(int fd, int operation) noexcept {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int follow_links(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(info.st_mode)) return 0;
    char link[PATH_MAX];
    const ssize_t length = ::readlink(target.c_str(), link, sizeof link);
    if (length < 0) return errno;
    if (static_cast<std::size_t>(length) >= sizeof link) return ENAMETOOLONG;
    std::string next(link, static_cast<std::size_t>(length));
    if (next.empty() || next[0] != '/') {
      const std::size_t slash = target.rfind('/');
      if (slash != std::string::npos) next = target.substr(0, slash + 1) + next;
    }
    target = std::move(next);
  }
  return ELOOP;
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::uint64_t value) {
  for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 15];
}

std::string temporary_prefix(const std::string& target) {
  const std::string name = base_name(target);
  std::string prefix = ".tm-";
  append_hex(prefix, siphash13(0, 0, name.data(), name.size()));
  prefix += '-';
  return prefix;
}

bool is_hex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

std::string temporary_name(const std::string& target) {
  std::uint64_t random = 0;
  if (!fill_os_random(reinterpret_cast<unsigned char*>(&random), sizeof random)) {
    random = siphash13(process_hash_seed(0), static_cast<std::uint64_t>(::getpid()), &random, sizeof random);
  }
  std::string name = directory_of(target) + "/" + temporary_prefix(target);
  append_hex(name, random);
  name += ".tmp";
  return name;
}

void remove_leftover_temporaries(const std::string& target) noexcept {
  try {
    const std::string directory = directory_of(target);
    const std::string prefix = temporary_prefix(target);
    // Earlier builds named them `<target>.tmp-<16 hex digits>`.
    const std::string legacy = base_name(target) + ".tmp-";
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name(entry->d_name);
      const bool ours = name.size() == prefix.size() + 16 + 4 && name.substr(0, prefix.size()) == prefix &&
                        is_hex(name.substr(prefix.size(), 16)) && name.substr(name.size() - 4) == ".tmp";
      const bool old = name.size() == legacy.size() + 16 && name.substr(0, legacy.size()) == legacy &&
                       is_hex(name.substr(legacy.size()));
      if (ours || old) (void)::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
  } catch (...) {
    // Best effort: a leftover is never read, only wasted space.
  }
}

int open_directory(const std::string& directory, Descriptor& out) noexcept {
  return out.open(directory.c_str(), O_RDONLY | O_DIRECTORY);
}

int sync_directory(const Descriptor& directory) noexcept {
  if (const int error = injected_failure(); error != 0) return error;
  while (::fsync(directory.get()) != 0) {
    if (errno == EINTR) continue;
    return errno == EINVAL ? 0 : errno;  // a file system that cannot sync directories
  }
  return 0;
}

namespace {

// A lock of one byte: byte 0 is the writer's (an open-file-description lock),
// byte 1 shows its process id (a process lock, which F_GETLK reports with its pid).
struct flock one_byte(short type, off_t at) noexcept {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  return lock;
}

}  // namespace

int lock_writer(int fd) noexcept {
  struct flock exclusive = one_byte(F_WRLCK, 0);
  while (::fcntl(fd, F_OFD_SETLK, &exclusive) != 0) {
    if (errno == EINTR) continue;
    return errno == EACCES ? EAGAIN : errno;
  }
  // Only tells others who holds the file; losing it changes nothing else.
  struct flock shown = one_byte(F_RDLCK, 1);
  (void)::fcntl(fd, F_SETLK, &shown);
  return 0;
}

long writer_pid(int fd) noexcept {
  struct flock probe = one_byte(F_WRLCK, 0);
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return -1;
  struct flock shown = one_byte(F_WRLCK, 1);
  if (::fcntl(fd, F_GETLK, &shown) != 0 || shown.l_type == F_UNLCK) return 0;
  return static_cast<long>(shown.l_pid);
}

}  // namespace tallowmere::persist
