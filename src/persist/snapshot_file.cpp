#include "store/snapshot_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <utility>

#include "codec/utf8.h"
#include "common/crc32c.h"
#include "common/fault.h"
#include "common/siphash.h"
#include "store/snapshot_diff.h"

namespace tallowmere {
namespace {

// ---- layout (snapshot_file.md) -------------------------------------------------

constexpr char kMagic[8] = {'\x89', 'T', 'M', 'S', 'N', 'A', 'P', '\n'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kFileHeaderBytes = 36;    // magic, version, flags, lineage, crc
constexpr std::size_t kRecordHeaderBytes = 40;  // crc, kind, length, id, base id, payload crc
constexpr std::uint8_t kImage = 1;
constexpr std::uint8_t kDelta = 2;
constexpr std::uint8_t kSetPair = 1;
constexpr std::uint8_t kRemovePair = 2;
constexpr std::size_t kWriteBufferBytes = 1 << 20;

void put_le(unsigned char* at, std::uint64_t value, std::size_t bytes) noexcept {
  for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
std::uint64_t get_le(const unsigned char* at, std::size_t bytes) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = (value << 8) | at[i];
  return value;
}

using FileHeader = std::array<unsigned char, kFileHeaderBytes>;
using RecordHeaderBytes = std::array<unsigned char, kRecordHeaderBytes>;

FileHeader file_header(const Lineage& lineage) noexcept {
  FileHeader bytes{};
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  put_le(bytes.data() + 8, kFormatVersion, 4);
  std::memcpy(bytes.data() + 16, lineage.data(), lineage.size());
  put_le(bytes.data() + 32, crc32c(bytes.data(), 32), 4);
  return bytes;
}

struct RecordHeader {
  std::uint8_t kind = 0;
  std::uint64_t length = 0;
  std::uint64_t id = 0;
  std::uint64_t base_id = 0;
  std::uint32_t payload_crc = 0;
};

RecordHeaderBytes record_header(const RecordHeader& header) noexcept {
  RecordHeaderBytes bytes{};
  bytes[4] = header.kind;
  put_le(bytes.data() + 8, header.length, 8);
  put_le(bytes.data() + 16, header.id, 8);
  put_le(bytes.data() + 24, header.base_id, 8);
  put_le(bytes.data() + 32, header.payload_crc, 4);
  put_le(bytes.data(), crc32c(bytes.data() + 4, kRecordHeaderBytes - 4), 4);
  return bytes;
}

// ---- failures ------------------------------------------------------------------------

struct Damage {  // thrown inside the parsers, turned into a PersistError at their edge
  std::uint64_t offset;
  std::string what;
};

PersistError damaged(const Damage& damage) {
  return {PersistError::Kind::kDamaged, 0,
          "snapshot file is damaged at offset " + std::to_string(damage.offset) + ": " + damage.what};
}
PersistError os_error(int error, const char* operation) {
  return {PersistError::Kind::kOs, error, operation};
}
PersistError mismatch(std::string message) { return {PersistError::Kind::kMismatch, 0, std::move(message)}; }

// Checks the file header in `bytes` (`size` of them present).
Lineage check_file_header(const unsigned char* bytes, std::size_t size) {
  const std::size_t magic_present = size < sizeof kMagic ? size : sizeof kMagic;
  if (std::memcmp(bytes, kMagic, magic_present) != 0) throw Damage{0, "not a tallowmere snapshot file (bad magic)"};
  if (size < kFileHeaderBytes) throw Damage{0, "the file header is incomplete"};
  const std::uint64_t version = get_le(bytes + 8, 4);
  if (version != kFormatVersion) {
    throw Damage{8, "unknown format version " + std::to_string(version) + " (this build reads version " +
                        std::to_string(kFormatVersion) + ")"};
  }
  if (get_le(bytes + 32, 4) != crc32c(bytes, 32)) throw Damage{32, "file header checksum mismatch"};
  if (get_le(bytes + 12, 4) != 0) throw Damage{12, "unknown header flags"};
  Lineage lineage;
  std::memcpy(lineage.data(), bytes + 16, lineage.size());
  return lineage;
}

// Walks the chain of records from the end of the file header. Both the loader and
// the appender use it, so they agree on where the last complete record ends.
class RecordChain {
 public:
  enum class Next { kRecord, kEnd, kTorn };

  explicit RecordChain(std::uint64_t file_size) noexcept : file_size_(file_size) {}

  std::uint64_t offset() const noexcept { return offset_; }
  std::uint64_t records() const noexcept { return records_; }
  std::uint64_t last_id() const noexcept { return last_id_; }

  // `bytes` holds min(40, what remains) bytes from offset(). On kRecord, `header`
  // describes a record whose payload lies wholly inside the file; call advance()
  // after consuming it.
  Next next(const unsigned char* bytes, RecordHeader& header) {
    const std::uint64_t remaining = file_size_ - offset_;
    if (remaining == 0) {
      if (records_ == 0) throw Damage{offset_, "the file holds no snapshot image"};
      return Next::kEnd;
    }
    if (remaining < kRecordHeaderBytes) return torn_or_damage("record header is cut short");
    if (get_le(bytes, 4) != crc32c(bytes + 4, kRecordHeaderBytes - 4)) {
      throw Damage{offset_, "record header checksum mismatch"};
    }
    header.kind = bytes[4];
    header.length = get_le(bytes + 8, 8);
    header.id = get_le(bytes + 16, 8);
    header.base_id = get_le(bytes + 24, 8);
    header.payload_crc = static_cast<std::uint32_t>(get_le(bytes + 32, 4));
    if (bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0 || get_le(bytes + 36, 4) != 0) {
      throw Damage{offset_, "reserved record header bytes are not zero"};
    }
    const std::uint8_t expected_kind = records_ == 0 ? kImage : kDelta;
    if (header.kind != expected_kind) {
      throw Damage{offset_, records_ == 0 ? "the first record is not a snapshot image"
                                          : "a record after the image is not a delta"};
    }
    if (header.kind == kDelta && header.base_id != last_id_) {
      throw Damage{offset_, "delta from snapshot " + std::to_string(header.base_id) +
                                " does not follow the record before it (snapshot " + std::to_string(last_id_) + ")"};
    }
    if (header.length > remaining - kRecordHeaderBytes) return torn_or_damage("record payload is cut short");
    return Next::kRecord;
  }

  void advance(const RecordHeader& header) noexcept {
    offset_ += kRecordHeaderBytes + header.length;
    last_id_ = header.id;
    ++records_;
  }

 private:
  // Only a delta can be torn: the image is renamed into place whole.
  Next torn_or_damage(const char* what) {
    if (records_ == 0) throw Damage{offset_, std::string("the snapshot image is incomplete: ") + what};
    return Next::kTorn;
  }

  std::uint64_t file_size_;
  std::uint64_t offset_ = kFileHeaderBytes;
  std::uint64_t records_ = 0;
  std::uint64_t last_id_ = 0;
};

// ---- payload writing -------------------------------------------------------------

// Gathers payload bytes in a buffer and hands them to `Out` (put(const void*, size))
// in large chunks; the length and CRC are summed per chunk, not per field, so an
// entry costs a few memcpy calls. Values larger than the buffer pass straight through.
template <class Out>
class PayloadWriter {
 public:
  explicit PayloadWriter(Out& out) : out_(out), buffer_((fault::fault_point(), new char[kWriteBufferBytes])) {}
  PayloadWriter(const PayloadWriter&) = delete;
  PayloadWriter& operator=(const PayloadWriter&) = delete;

  void bytes(const void* data, std::size_t size) {
    if (used_ + size > kWriteBufferBytes) {
      flush();
      if (size > kWriteBufferBytes / 4) {
        emit(data, size);
        return;
      }
    }
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
  }
  void byte(std::uint8_t value) { bytes(&value, 1); }
  void varint(std::uint64_t value) {
    unsigned char encoded[10];
    std::size_t used = 0;
    do {
      encoded[used] = static_cast<unsigned char>(value & 0x7F);
      value >>= 7;
      if (value != 0) encoded[used] |= 0x80;
      ++used;
    } while (value != 0);
    bytes(encoded, used);
  }
  void text(std::string_view text) {
    varint(text.size());
    bytes(text.data(), text.size());
  }
  // Everything written so far has reached `Out`; length() and crc() are final.
  void flush() {
    if (used_ != 0) emit(buffer_.get(), used_);
    used_ = 0;
  }
  std::uint64_t length() const noexcept { return length_; }
  std::uint32_t crc() const noexcept { return crc_; }

 private:
  void emit(const void* data, std::size_t size) {
    crc_ = crc32c_extend(crc_, data, size);
    length_ += size;
    out_.put(data, size);
  }

  Out& out_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint32_t crc_ = 0;
  std::uint64_t length_ = 0;
};

struct StringOut {
  std::string& bytes;
  void put(const void* data, std::size_t size) { bytes.append(static_cast<const char*>(data), size); }
};

template <class Out>
void write_image_payload(PayloadWriter<Out>& out, const SnapshotData& record) {
  std::uint64_t namespace_count = 0;
  for (const ShardMap& shard_map : record.shard_maps) {
    shard_map.for_each([&](const std::string&, const KeyMap& keys) { namespace_count += keys.empty() ? 0 : 1; });
  }
  out.varint(namespace_count);
  for (const ShardMap& shard_map : record.shard_maps) {
    shard_map.for_each([&](const std::string& name, const KeyMap& keys) {
      if (keys.empty()) return;
      out.text(name);
      out.varint(keys.size());
      keys.for_each([&](const std::string& key, const EncodedValue& value) {
        out.text(key);
        out.text(value.bytes());
      });
    });
  }
}

const EncodedValue& value_in(const SnapshotData& record, std::string_view namespace_name, std::string_view key) {
  const KeyMap* keys = record.shard_maps[shard_index(namespace_name)].find(namespace_name);
  const EncodedValue* value = keys != nullptr ? keys->find(key) : nullptr;
  if (value == nullptr) throw InternalFailure("a pair reported by diff is missing from its snapshot");
  return *value;
}

std::string delta_record(const SnapshotData& base, const SnapshotData& record) {
  const SnapshotDiff diff = diff_snapshots(base, record);
  std::string payload;
  StringOut sink{payload};
  PayloadWriter<StringOut> out(sink);
  out.varint(diff.added.size() + diff.changed.size() + diff.removed.size());
  for (const auto* written : {&diff.added, &diff.changed}) {
    for (const KeyPairView& pair : *written) {
      out.byte(kSetPair);
      out.text(pair.namespace_name);
      out.text(pair.key);
      out.text(value_in(record, pair.namespace_name, pair.key).bytes());
    }
  }
  for (const KeyPairView& pair : diff.removed) {
    out.byte(kRemovePair);
    out.text(pair.namespace_name);
    out.text(pair.key);
  }
  out.flush();
  const RecordHeaderBytes header = record_header({kDelta, out.length(), record.id, base.id, out.crc()});
  std::string bytes(reinterpret_cast<const char*>(header.data()), header.size());
  bytes += payload;
  return bytes;
}

// ---- payload reading ---------------------------------------------------------------

class PayloadReader {
 public:
  PayloadReader(const unsigned char* begin, std::uint64_t length, std::uint64_t file_offset) noexcept
      : begin_(begin), at_(begin), end_(begin + length), file_offset_(file_offset) {}

  std::uint64_t offset() const noexcept { return file_offset_ + static_cast<std::uint64_t>(at_ - begin_); }
  bool at_end() const noexcept { return at_ == end_; }
  std::uint64_t remaining() const noexcept { return static_cast<std::uint64_t>(end_ - at_); }

  std::uint8_t byte() {
    if (at_ == end_) fail("payload ends inside an entry");
    return *at_++;
  }
  std::uint64_t varint() {
    std::uint64_t value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      const std::uint8_t next = byte();
      if (shift == 63 && next > 1) fail("length or count does not fit in 64 bits");
      value |= static_cast<std::uint64_t>(next & 0x7F) << shift;
      if ((next & 0x80) == 0) return value;
    }
    fail("length or count does not fit in 64 bits");
  }
  // A count of items that each take at least one byte: never more than remain.
  std::uint64_t count() {
    const std::uint64_t at = offset();
    const std::uint64_t value = varint();
    if (value > remaining()) throw Damage{at, "count " + std::to_string(value) + " exceeds the bytes that remain"};
    return value;
  }
  std::string_view bytes() {
    const std::uint64_t at = offset();
    const std::uint64_t length = varint();
    if (length > remaining()) throw Damage{at, "length " + std::to_string(length) + " exceeds the bytes that remain"};
    const char* start = reinterpret_cast<const char*>(at_);
    at_ += length;
    return {start, static_cast<std::size_t>(length)};
  }
  std::string_view name() {
    const std::uint64_t at = offset();
    const std::string_view text = bytes();
    if (!is_valid_utf8(text)) throw Damage{at, "a name is not valid UTF-8"};
    return text;
  }
  [[noreturn]] void fail(const char* what) const { throw Damage{offset(), what}; }

 private:
  const unsigned char* begin_;
  const unsigned char* at_;
  const unsigned char* end_;
  std::uint64_t file_offset_;
};

void decode_image(PayloadReader& in, SnapshotData& state) {
  const std::uint64_t namespace_count = in.count();
  for (std::uint64_t n = 0; n < namespace_count; ++n) {
    const std::uint64_t name_offset = in.offset();
    const std::string_view name = in.name();
    const std::uint64_t key_count = in.count();
    if (key_count == 0) throw Damage{name_offset, "a namespace holds no keys"};
    KeyMap keys;
    std::uint64_t bytes = 0;
    for (std::uint64_t k = 0; k < key_count; ++k) {
      const std::uint64_t key_offset = in.offset();
      const std::string_view key = in.name();
      const std::string_view value = in.bytes();
      if (keys.insert(key, EncodedValue::copy_of(value.data(), value.size()))) {
        throw Damage{key_offset, "a key appears twice in one namespace"};
      }
      bytes += value.size();
    }
    const std::size_t shard = shard_index(name);
    if (state.shard_maps[shard].insert(name, std::move(keys))) throw Damage{name_offset, "a namespace appears twice"};
    state.shard_entries[shard] += key_count;
    state.shard_bytes[shard] += bytes;
  }
  if (!in.at_end()) in.fail("bytes follow the last namespace of the image");
}

void apply_delta(PayloadReader& in, SnapshotData& state) {
  const std::uint64_t op_count = in.count();
  for (std::uint64_t i = 0; i < op_count; ++i) {
    const std::uint64_t op_offset = in.offset();
    const std::uint8_t op = in.byte();
    if (op != kSetPair && op != kRemovePair) throw Damage{op_offset, "unknown delta operation"};
    const std::string_view name = in.name();
    const std::string_view key = in.name();
    const std::size_t shard = shard_index(name);
    ShardMap& shard_map = state.shard_maps[shard];
    // The state is private to the loader, so find_for_update never copies.
    KeyMap* keys = shard_map.find_for_update(name);
    if (op == kSetPair) {
      const std::string_view value = in.bytes();
      EncodedValue encoded = EncodedValue::copy_of(value.data(), value.size());
      state.shard_bytes[shard] += value.size();
      if (keys == nullptr) {
        KeyMap fresh;
        fresh.insert(key, std::move(encoded));
        shard_map.insert(name, std::move(fresh));
        ++state.shard_entries[shard];
      } else if (std::optional<EncodedValue> replaced = keys->insert(key, std::move(encoded))) {
        state.shard_bytes[shard] -= replaced->size();
      } else {
        ++state.shard_entries[shard];
      }
      continue;
    }
    const EncodedValue* present = keys != nullptr ? keys->find(key) : nullptr;
    if (present == nullptr) throw Damage{op_offset, "a delta removes a pair the state does not hold"};
    state.shard_bytes[shard] -= present->size();
    --state.shard_entries[shard];
    if (keys->size() == 1) {
      shard_map.remove(name);  // a namespace goes with its last key
    } else {
      keys->remove(key);
    }
  }
  if (!in.at_end()) in.fail("bytes follow the last operation of the delta");
}

// ---- file helpers -------------------------------------------------------------------

// Closes the descriptor on every exit path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  friend void swap(FileDescriptor& a, FileDescriptor& b) noexcept { std::swap(a.fd_, b.fd_); }
  int close() noexcept {  // 0 or the errno of a failed close
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
  }

 private:
  int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) noexcept {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// 0 or the errno; short writes and EINTR are retried.
int write_all_at(int fd, const void* data, std::size_t size, std::uint64_t offset) noexcept {
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

// Bytes read into `out` from `offset`, fewer only at the end of the file; -errno on failure.
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

int fsync_retrying(int fd) noexcept {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int flock_retrying(int fd, int operation) noexcept {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Opens `path` and locks it (LOCK_EX or LOCK_SH), making sure the file locked is
// still the one `path` names: a full save renames its new file over the name while
// it holds the old file's exclusive lock, so a descriptor that got its lock after
// such a rename points at a file nobody will read again, and is opened anew.
// Returns 0 or the errno.
int open_locked(const std::string& path, int flags, int operation, FileDescriptor& out) noexcept {
  for (;;) {
    FileDescriptor fd(open_retrying(path.c_str(), flags));
    if (!fd.valid()) return errno;
    if (const int error = flock_retrying(fd.get(), operation); error != 0) return error;
    struct stat locked {}, named {};
    if (::fstat(fd.get(), &locked) != 0) return errno;
    if (::stat(path.c_str(), &named) != 0) return errno;
    if (locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      swap(out, fd);
      return 0;
    }
  }
}

// Writes payload chunks at consecutive offsets of a descriptor opened for this file
// alone; the first failure is kept and later chunks are dropped.
// Each chunk is handed to the disk as soon as it is written (as RocksDB's
// bytes_per_sync does), so writeback overlaps the encoding of the next chunks and
// the final fsync finds little left to do.
struct FileOut {
  int fd;
  std::uint64_t offset;
  int error = 0;

  void put(const void* data, std::size_t size) {
    if (error != 0) return;
    error = write_all_at(fd, data, size, offset);
#ifdef __linux__
    // Only a hint: a failure here changes nothing, the fsync still decides.
    if (error == 0) (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#endif
    offset += size;
  }
};

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string temporary_name(const std::string& path) {
  unsigned char random[8];
  if (!fill_os_random(random, sizeof random)) {
    const std::uint64_t fallback = siphash13(process_hash_seed(0), ::getpid(), &random, sizeof random);
    std::memcpy(random, &fallback, sizeof random);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = path + ".tmp-";
  for (unsigned char byte : random) {
    name += kHex[byte >> 4];
    name += kHex[byte & 15];
  }
  return name;
}

void notify(SaveObserver observer, SaveStage stage) {
  if (observer != nullptr) observer(stage);
}

// Removes the temporary file unless the save got as far as renaming it.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string name) : name_(std::move(name)) {}
  ~TemporaryFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& name() const noexcept { return name_; }
  void keep() noexcept { name_.clear(); }

 private:
  std::string name_;
};

}  // namespace

// ---- public ---------------------------------------------------------------------------

std::string encode_image_file(const SnapshotData& record) {
  const FileHeader file = file_header(record.lineage);
  std::string payload;
  StringOut sink{payload};
  PayloadWriter<StringOut> out(sink);
  write_image_payload(out, record);
  out.flush();
  const RecordHeaderBytes header = record_header({kImage, out.length(), record.id, 0, out.crc()});
  std::string bytes(reinterpret_cast<const char*>(file.data()), file.size());
  bytes.append(reinterpret_cast<const char*>(header.data()), header.size());
  bytes += payload;
  return bytes;
}

std::string encode_delta_record(const SnapshotData& base, const SnapshotData& record) {
  return delta_record(base, record);
}

Result<PersistDone, PersistError> save_image(const std::string& path, const SnapshotData& record,
                                             SaveObserver observer) {
  TemporaryFile temporary(temporary_name(path));
  FileDescriptor fd(open_retrying(temporary.name().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
  if (!fd.valid()) {
    temporary.keep();  // nothing was created
    return Result<PersistDone, PersistError>::failure(os_error(errno, "open"));
  }
  const FileHeader file = file_header(record.lineage);
  FileOut sink{fd.get(), kFileHeaderBytes + kRecordHeaderBytes};
  PayloadWriter<FileOut> out(sink);
  write_image_payload(out, record);
  out.flush();
  // The headers go in last: they hold the payload's length and checksum.
  const RecordHeaderBytes header = record_header({kImage, out.length(), record.id, 0, out.crc()});
  int error = sink.error;
  if (error == 0) error = write_all_at(fd.get(), file.data(), file.size(), 0);
  if (error == 0) error = write_all_at(fd.get(), header.data(), header.size(), kFileHeaderBytes);
  if (error != 0) return Result<PersistDone, PersistError>::failure(os_error(error, "write"));
  notify(observer, SaveStage::kTempWritten);
  if ((error = fsync_retrying(fd.get())) != 0 || (error = fd.close()) != 0) {
    return Result<PersistDone, PersistError>::failure(os_error(error, "fsync"));
  }
  notify(observer, SaveStage::kTempSynced);
  {
    // An append in progress on the file being replaced finishes first; appends that
    // wait for this lock find the file renamed away and open the new one.
    FileDescriptor previous(open_retrying(path.c_str(), O_RDONLY));
    if (previous.valid()) (void)flock_retrying(previous.get(), LOCK_EX);  // best effort: unreadable files go unlocked
    if (::rename(temporary.name().c_str(), path.c_str()) != 0) {
      return Result<PersistDone, PersistError>::failure(os_error(errno, "rename"));
    }
  }
  temporary.keep();
  notify(observer, SaveStage::kRenamed);
  // Without this a power cut can leave the name pointing at the old file, or at none.
  FileDescriptor directory(open_retrying(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY));
  if (!directory.valid()) return Result<PersistDone, PersistError>::failure(os_error(errno, "open directory"));
  error = fsync_retrying(directory.get());
  if (error != 0 && error != EINVAL) {  // EINVAL: a file system that cannot sync directories
    return Result<PersistDone, PersistError>::failure(os_error(error, "fsync directory"));
  }
  notify(observer, SaveStage::kDirSynced);
  return PersistDone{};
}

Result<PersistDone, PersistError> append_delta(const std::string& path, const SnapshotData& base,
                                               const SnapshotData& record, SaveObserver observer) {
  using Outcome = Result<PersistDone, PersistError>;
  if (base.lineage != record.lineage) return Outcome::failure(mismatch("base is a snapshot of another store"));
  FileDescriptor fd(-1);
  if (const int error = open_locked(path, O_RDWR, LOCK_EX, fd); error != 0) return Outcome::failure(os_error(error, "open"));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Outcome::failure(os_error(errno, "fstat"));
  if (!S_ISREG(info.st_mode)) return Outcome::failure(os_error(EINVAL, "append"));
  const auto file_size = static_cast<std::uint64_t>(info.st_size);

  // Only headers are read: what the last complete record is and where it ends.
  RecordChain chain(file_size);
  try {
    FileHeader file{};
    const std::int64_t got = read_at(fd.get(), file.data(), file.size(), 0);
    if (got < 0) return Outcome::failure(os_error(static_cast<int>(-got), "read"));
    if (check_file_header(file.data(), static_cast<std::size_t>(got)) != record.lineage) {
      return Outcome::failure(mismatch("the file holds snapshots of another store"));
    }
    for (;;) {
      RecordHeaderBytes bytes{};
      const std::int64_t read = read_at(fd.get(), bytes.data(), bytes.size(), chain.offset());
      if (read < 0) return Outcome::failure(os_error(static_cast<int>(-read), "read"));
      RecordHeader header;
      if (chain.next(bytes.data(), header) != RecordChain::Next::kRecord) break;
      chain.advance(header);
    }
  } catch (const Damage& damage) {
    return Outcome::failure(damaged(damage));
  }
  if (chain.last_id() != base.id) {
    return Outcome::failure(mismatch("the file's last complete record is snapshot " + std::to_string(chain.last_id()) +
                                     ", not the base snapshot " + std::to_string(base.id)));
  }
  const std::string delta = delta_record(base, record);
  const std::uint64_t end = chain.offset();
  // A torn tail is cut first: a record written behind it would never be read.
  if (end != file_size && ::ftruncate(fd.get(), static_cast<off_t>(end)) != 0) {
    return Outcome::failure(os_error(errno, "truncate"));
  }
  int error = write_all_at(fd.get(), delta.data(), delta.size(), end);
  if (error == 0) error = fsync_retrying(fd.get());
  if (error != 0) {
    // Best effort: take the partial record back so the file stays as it was.
    if (::ftruncate(fd.get(), static_cast<off_t>(end)) == 0) (void)fsync_retrying(fd.get());
    return Outcome::failure(os_error(error, "write"));
  }
  notify(observer, SaveStage::kDeltaWritten);
  if ((error = fd.close()) != 0) return Outcome::failure(os_error(error, "close"));
  return PersistDone{};
}

Result<LoadedState, PersistError> parse_snapshot_file(std::string_view file) {
  using Outcome = Result<LoadedState, PersistError>;
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  LoadedState loaded;
  try {
    loaded.state.lineage = check_file_header(bytes, file.size());
    RecordChain chain(file.size());
    for (;;) {
      RecordHeader header;
      const RecordChain::Next next = chain.next(bytes + chain.offset(), header);
      if (next == RecordChain::Next::kEnd) break;
      if (next == RecordChain::Next::kTorn) {
        loaded.torn = TornTail{chain.offset(), file.size() - chain.offset()};
        break;
      }
      const std::uint64_t payload_offset = chain.offset() + kRecordHeaderBytes;
      const unsigned char* payload = bytes + payload_offset;
      if (crc32c(payload, header.length) != header.payload_crc) {
        throw Damage{chain.offset(), "record checksum mismatch"};
      }
      PayloadReader in(payload, header.length, payload_offset);
      if (header.kind == kImage) {
        decode_image(in, loaded.state);
      } else {
        apply_delta(in, loaded.state);
      }
      chain.advance(header);
    }
    loaded.state.id = chain.last_id();
    loaded.records = chain.records();
  } catch (const Damage& damage) {
    return Outcome::failure(damaged(damage));
  }
  for (std::size_t s = 0; s < kShardCount; ++s) loaded.state.size_bytes += loaded.state.shard_bytes[s];
  return loaded;
}

Result<LoadedState, PersistError> load_snapshot_file(const std::string& path) {
  using Outcome = Result<LoadedState, PersistError>;
  // Shared lock: an append in progress is read whole or not at all.
  FileDescriptor fd(-1);
  if (const int error = open_locked(path, O_RDONLY, LOCK_SH, fd); error != 0) return Outcome::failure(os_error(error, "open"));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Outcome::failure(os_error(errno, "fstat"));
  if (S_ISDIR(info.st_mode)) return Outcome::failure(os_error(EISDIR, "read"));
  // st_size is a hint only: the file is read until read() reports its end.
  std::string contents;
  std::size_t capacity = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096;
  for (;;) {
    const std::size_t filled = contents.size();
    contents.resize(capacity);
    const std::int64_t got = read_at(fd.get(), contents.data() + filled, capacity - filled, filled);
    if (got < 0) return Outcome::failure(os_error(static_cast<int>(-got), "read"));
    contents.resize(filled + static_cast<std::size_t>(got));
    if (contents.size() < capacity) break;
    capacity *= 2;
  }
  return parse_snapshot_file(contents);
}

}  // namespace tallowmere
