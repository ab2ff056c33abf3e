#include "persist/snapshot_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/fault.h"
#include "persist/format.h"
#include "persist/operation_codec.h"
#include "persist/payload.h"
#include "persist/replacement.h"
#include "store/snapshot_diff.h"

namespace tallowmere {
namespace {

using namespace persist;
using Outcome = Result<PersistDone, PersistError>;

// Writes payload chunks at consecutive offsets of a file; the first failure is
// kept and later chunks are dropped. Each chunk is handed to the disk as soon as
// it is written (as RocksDB's bytes_per_sync does), so writeback overlaps the
// encoding of the next chunks and the final sync finds little left to do.
struct FileOut {
  int fd;
  std::uint64_t offset;
  int error = 0;

  void put(const void* data, std::size_t size) {
    if (error != 0) return;
    error = write_all_at(fd, data, size, offset);
#ifdef __linux__
    // Only a hint: a failure here changes nothing, the sync still decides.
    if (error == 0) (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#endif
    offset += size;
  }
};

const EncodedValue& value_in(const SnapshotData& record, std::string_view namespace_name, std::string_view key) {
  const KeyMap* keys = record.shard_maps[shard_index(namespace_name)].find(namespace_name);
  const EncodedValue* value = keys != nullptr ? keys->find(key) : nullptr;
  if (value == nullptr) throw InternalFailure("a pair reported by diff is missing from its snapshot");
  return *value;
}

// A delta record: header and payload.
std::string delta_record(const SnapshotData& base, const SnapshotData& record) {
  fault::fault_point();
  const SnapshotDiff diff = diff_snapshots(base, record);
  std::vector<Operation> operations;
  operations.reserve(diff.added.size() + diff.changed.size() + diff.removed.size());
  for (const auto* written : {&diff.added, &diff.changed}) {
    for (const KeyPairView& pair : *written) {
      operations.push_back(Operation::set(pair.namespace_name, pair.key, value_in(record, pair.namespace_name, pair.key)));
    }
  }
  for (const KeyPairView& pair : diff.removed) operations.push_back(Operation::delete_key(pair.namespace_name, pair.key));
  std::string bytes(kRecordHeaderBytes, '\0');
  append_operations(bytes, operations);
  const std::uint64_t length = bytes.size() - kRecordHeaderBytes;
  const RecordHeaderBytes header = encode_record_header(
      {RecordKind::kDelta, length, record.id, base.id, crc32c(bytes.data() + kRecordHeaderBytes, length)});
  std::memcpy(bytes.data(), header.data(), header.size());
  return bytes;
}

// Checks the payload of the record the walker stands at (reading it in chunks)
// and advances past it; false when it ends the file as a torn tail.
bool check_payload(int fd, RecordWalker& walker, std::vector<char>& chunk) {
  std::uint64_t at = walker.offset() + kRecordHeaderBytes;
  std::uint64_t left = walker.header().length;
  std::uint32_t crc = 0;
  while (left > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    const std::int64_t got = read_at(fd, chunk.data(), want, at);
    if (got < 0) throw ReadFailure{static_cast<int>(-got)};
    if (got == 0) throw Damage{at, "the file ends inside a record"};
    crc = crc32c_extend(crc, chunk.data(), static_cast<std::size_t>(got));
    at += static_cast<std::uint64_t>(got);
    left -= static_cast<std::uint64_t>(got);
  }
  if (!walker.payload_fits(crc)) return false;
  walker.advance();
  return true;
}

// Where the file's last sound record ends and what it is. Version 2 goes from the
// mark: the record it covers, then the few after it. Version 1 walks every header.
struct Tail {
  FileHeader header;
  std::uint64_t end = 0;
  std::uint64_t last_id = 0;
  std::optional<RecordKind> last_kind;
};

Tail find_tail(int fd, std::uint64_t file_size) {
  HeaderBytes head{};
  const std::int64_t got = read_at(fd, head.data(), head.size(), 0);
  if (got < 0) throw ReadFailure{static_cast<int>(-got)};
  Tail tail;
  tail.header = decode_file_header(head.data(), static_cast<std::size_t>(got));
  RecordWalker walker(tail.header, file_size);
  RecordHeaderBytes bytes{};
  const auto read_header = [&](std::uint64_t offset) -> std::size_t {
    const std::int64_t read = read_at(fd, bytes.data(), bytes.size(), offset);
    if (read < 0) throw ReadFailure{static_cast<int>(-read)};
    return static_cast<std::size_t>(read);
  };
  if (tail.header.mark) {
    walker.resume_at_mark(*tail.header.mark, bytes.data(), read_header(tail.header.mark->record_start));
  }
  std::vector<char> chunk(tail.header.mark ? 64 * 1024 : 0);
  for (;;) {
    if (walker.next(bytes.data(), read_header(walker.offset())) != RecordWalker::Step::kRecord) break;
    if (!tail.header.mark) {
      walker.advance();  // version 1 appends read headers only, as they always did
    } else if (!check_payload(fd, walker, chunk)) {
      break;
    }
  }
  tail.end = walker.offset();
  tail.last_id = walker.last_id();
  tail.last_kind = walker.last_kind();
  return tail;
}

// The headers of an image file whose payload `out` has written: they hold its
// length and checksum, so they are encoded last.
struct ImageHeaders {
  HeaderBytes file;
  RecordHeaderBytes record;
};

template <class Sink>
ImageHeaders image_headers(const SnapshotData& record, const PayloadWriter<Sink>& out) {
  const std::uint64_t end = kHeaderBytesV2 + kRecordHeaderBytes + out.length();
  return {encode_file_header(record.lineage, {1, kHeaderBytesV2, end}),
          encode_record_header({RecordKind::kImage, out.length(), record.id, 0, out.crc()})};
}

}  // namespace

std::string encode_image_file(const SnapshotData& record) {
  std::string payload;
  StringOut sink{payload};
  PayloadWriter<StringOut> out(sink);
  write_image_payload(out, record);
  out.flush();
  const ImageHeaders headers = image_headers(record, out);
  std::string bytes(reinterpret_cast<const char*>(headers.file.data()), headers.file.size());
  bytes.append(reinterpret_cast<const char*>(headers.record.data()), headers.record.size());
  bytes += payload;
  return bytes;
}

std::string encode_delta_record(const SnapshotData& base, const SnapshotData& record) {
  return delta_record(base, record);
}

Outcome save_image(const std::string& path, const SnapshotData& record, SaveObserver observer) {
  Replacement replacement;
  if (auto refused = replacement.begin(path)) return Outcome::failure(std::move(*refused));
  FileOut sink{replacement.fd(), kHeaderBytesV2 + kRecordHeaderBytes};
  PayloadWriter<FileOut> out(sink);
  write_image_payload(out, record);
  out.flush();
  // The headers go in last: they hold the payload's length and checksum.
  const ImageHeaders headers = image_headers(record, out);
  int error = sink.error;
  if (error == 0) error = write_all_at(replacement.fd(), headers.file.data(), headers.file.size(), 0);
  if (error == 0) error = write_all_at(replacement.fd(), headers.record.data(), headers.record.size(), kHeaderBytesV2);
  if (error != 0) return Outcome::failure(os_error(error, "write"));
  notify(observer, SaveStage::kTempWritten);
  if (auto failed = replacement.commit(observer)) return Outcome::failure(std::move(*failed));
  return PersistDone{};
}

Outcome append_delta(const std::string& path, const SnapshotData& base, const SnapshotData& record,
                     SaveObserver observer) {
  if (base.lineage != record.lineage) return Outcome::failure(mismatch_error("base is a snapshot of another store"));
  Descriptor fd;
  if (const int error = open_locked(path, O_RDWR, LOCK_EX, fd); error != 0) {
    return Outcome::failure(os_error(error, error == kNotRegularFile ? "not a regular file" : ""));
  }
  if (const long holder = writer_pid(fd.get()); holder >= 0) return Outcome::failure(busy_error(holder));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Outcome::failure(os_error(errno));
  Tail tail;
  try {
    tail = find_tail(fd.get(), static_cast<std::uint64_t>(info.st_size));
  } catch (const Damage& damage) {
    return Outcome::failure(damage_error(damage));
  } catch (const ReadFailure& failure) {
    return Outcome::failure(os_error(failure.os_errno, "read"));
  }
  if (tail.header.lineage != record.lineage) {
    return Outcome::failure(mismatch_error("the file holds snapshots of another store"));
  }
  if (tail.last_kind == RecordKind::kOperations) {
    return Outcome::failure(mismatch_error("the file is a durable store's log, not a snapshot file"));
  }
  if (tail.last_id != base.id) {
    return Outcome::failure(mismatch_error("the file's last complete record is snapshot " +
                                           std::to_string(tail.last_id) + ", not the base snapshot " +
                                           std::to_string(base.id)));
  }
  const std::string delta = delta_record(base, record);
  const std::uint64_t end = tail.end;
  // A torn tail is cut first: a record written behind it would never be read.
  if (end != static_cast<std::uint64_t>(info.st_size)) {
    if (const int error = truncate_to(fd.get(), end); error != 0) return Outcome::failure(os_error(error, "truncate"));
  }
  int error = write_all_at(fd.get(), delta.data(), delta.size(), end);
  if (error == 0) error = sync_data(fd.get());
  if (error != 0) {
    // Best effort: take the partial record back so the file stays as it was.
    if (truncate_to(fd.get(), end) == 0) (void)sync_data(fd.get());
    return Outcome::failure(os_error(error, "write"));
  }
  notify(observer, SaveStage::kDeltaWritten);
  if (tail.header.mark) {
    // Synced above, so the mark may cover it; it reaches the disk with the next sync.
    const Mark mark{tail.header.mark->sequence + 1, end, end + delta.size()};
    const MarkSlotBytes slot = encode_mark_slot(mark);
    (void)write_all_at(fd.get(), slot.data(), slot.size(), mark_slot_offset(mark));
  }
  if ((error = fd.close()) != 0) return Outcome::failure(os_error(error, "close"));
  return PersistDone{};
}

}  // namespace tallowmere
