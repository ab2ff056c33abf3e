// persist/file_io.h: the file system calls that store files are written with.
// One error convention: every function returns 0 or an errno (EINTR retried,
// short writes continued); nothing here throws.
// * Descriptor: a file descriptor closed on every exit path. Every open one is
//   registered, and a forked child closes all of them at once (pthread_atfork):
//   a thread of the parent may have been using one (to load, save, or log), and
//   in the child no thread ever would close it, so it would hold its file's locks
//   for as long as the child lives.
// * open_regular() refuses, at once, anything that is not a regular file: a FIFO
//   or a device is opened non-blocking and checked before a byte is read.
// * Temporary files are named `.tm-<hash of the target's name>-<random>.tmp` in the
//   target's directory: short whatever the target's name (any name open() takes
//   works), and findable so that leftovers of a crashed save can be removed.
// * Fault injection (TALLOWMERE_FAULT_INJECTION builds): io_fault::arm(n, error)
//   makes the n-th write, sync, rename or truncate from now fail with `error`, so
//   tests can fail each step of a save, an append or a compaction in turn.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tallowmere::persist {

// The errno open_regular() reports for a path that exists but is not a regular
// file (or a directory, which gets EISDIR); callers say so in their message.
inline constexpr int kNotRegularFile = EINVAL;

class Descriptor {
 public:
  Descriptor() noexcept = default;
  ~Descriptor() { close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  // Opens `path` (O_CLOEXEC added); 0 or the errno. Closes what was open first.
  int open(const char* path, int flags, mode_t mode = 0) noexcept;
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int close() noexcept;  // 0 or the errno of a failed close
  void swap(Descriptor& other) noexcept;

 private:
  friend class DescriptorRegistry;
  int fd_ = -1;
  Descriptor* prev_ = nullptr;  // the registry's list, under its lock
  Descriptor* next_ = nullptr;
};

// Opens a path that must be a regular file if it exists (O_CREAT may create it).
int open_regular(const std::string& path, int flags, Descriptor& out, mode_t mode = 0666) noexcept;
// stat() of a path that must be a regular file if it exists; ENOENT when absent.
int stat_regular(const std::string& path, struct stat& info) noexcept;

int write_all_at(int fd, const void* data, std::size_t size, std::uint64_t offset) noexcept;
// Bytes read into `out` from `offset`, fewer only at the end of the file; -errno on failure.
std::int64_t read_at(int fd, void* out, std::size_t size, std::uint64_t offset) noexcept;
int sync_data(int fd) noexcept;  // fdatasync: data and the size needed to read it
int truncate_to(int fd, std::uint64_t size) noexcept;
int rename_path(const std::string& from, const std::string& to) noexcept;
int lock_file(int fd, int operation) noexcept;  // flock

// The directory `path` is in ("." for a bare name), and the last component.
std::string directory_of(const std::string& path);
std::string base_name(const std::string& path);
// `path` with every symbolic link in its last component followed (a save writes
// through a link to its target, as an append does). 0 or the errno (ELOOP).
int follow_links(const std::string& path, std::string& target);

std::string temporary_name(const std::string& target);
// Removes temporary files of earlier saves of `target` that a crash left behind.
void remove_leftover_temporaries(const std::string& target) noexcept;

// Opens `directory` for a later sync_directory(): done before a rename, so that a
// directory that cannot be opened fails the save before anything is replaced.
int open_directory(const std::string& directory, Descriptor& out) noexcept;
int sync_directory(const Descriptor& directory) noexcept;  // EINVAL (no directory sync) is success

// The writer's lock of a durable store: an open-file-description lock on byte 0,
// so a second opener fails whether it is in this process or another, plus a
// process lock on byte 1 that lets other processes learn the holder's pid.
// 0, or EAGAIN when another opener holds it.
int lock_writer(int fd) noexcept;
// The pid holding the writer's lock of the open file, 0 when none is known
// (this process's own locks are invisible to it), -1 when nobody holds it.
long writer_pid(int fd) noexcept;

namespace io_fault {
#ifdef TALLOWMERE_FAULT_INJECTION
void arm(std::uint64_t nth_call, int error) noexcept;
void disarm() noexcept;
bool triggered() noexcept;
#endif
}  // namespace io_fault

}  // namespace tallowmere::persist
