#include "persist/loader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "persist/file_io.h"
#include "persist/operation_codec.h"
#include "persist/payload.h"
#include "persist/replacement.h"
#include "store/operation.h"

namespace tallowmere {
namespace {

using namespace persist;
using Outcome = Result<LoadedState, PersistError>;

void decode_image(SourceReader& in, SnapshotData& state) {
  const std::uint64_t namespace_count = in.count();
  for (std::uint64_t n = 0; n < namespace_count; ++n) {
    const std::uint64_t name_offset = in.offset();
    const std::string name(in.name());
    const std::uint64_t key_count = in.count();
    if (key_count == 0) throw Damage{name_offset, "a namespace holds no keys"};
    KeyMap keys;
    std::uint64_t bytes = 0;
    for (std::uint64_t k = 0; k < key_count; ++k) {
      const std::uint64_t key_offset = in.offset();
      std::string key(in.name());
      EncodedValue value = in.value();
      bytes += value.size();
      if (keys.insert(std::move(key), std::move(value))) throw Damage{key_offset, "a key appears twice in one namespace"};
    }
    const std::size_t shard = shard_index(name);
    if (state.shard_maps[shard].insert(name, std::move(keys))) throw Damage{name_offset, "a namespace appears twice"};
    state.shard_entries[shard] += key_count;
    state.shard_bytes[shard] += bytes;
  }
  if (in.payload_remaining() != 0) in.fail("bytes follow the last namespace of the image");
}

// Applies a record's operations to the loader's private state; each must fit.
void apply_record(const std::vector<Operation>& operations, std::uint64_t record_offset, SnapshotData& state) {
  ShardTargets targets;
  for (std::size_t s = 0; s < kShardCount; ++s) {
    targets.maps[s] = &state.shard_maps[s];
    targets.entries[s] = &state.shard_entries[s];
  }
  for (std::size_t i = 0; i < operations.size(); ++i) {
    const Operation& op = operations[i];
    if (apply_operation(op, targets) == 0 &&
        (op.kind == OperationKind::kDeleteKey || op.kind == OperationKind::kDeleteNamespace)) {
      throw Damage{record_offset, "operation " + std::to_string(i) + " of the record deletes " +
                                      (op.kind == OperationKind::kDeleteKey ? "a pair" : "a namespace") +
                                      " the state does not hold"};
    }
  }
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (targets.bytes_reset[s]) state.shard_bytes[s] = 0;
    state.shard_bytes[s] += static_cast<std::uint64_t>(targets.bytes_delta[s]);
  }
}

LoadedState load_records(SourceReader& in, std::uint64_t size) {
  LoadedState loaded;
  const std::string_view head = in.peek(kHeaderBytesV2);
  loaded.header = decode_file_header(reinterpret_cast<const unsigned char*>(head.data()), head.size());
  loaded.state.lineage = loaded.header.lineage;
  in.skip(loaded.header.size());
  RecordWalker walker(loaded.header, size);
  std::string payload;
  for (;;) {
    const std::string_view bytes = in.peek(kRecordHeaderBytes);
    const RecordWalker::Step step = walker.next(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (step == RecordWalker::Step::kEnd) break;
    if (step == RecordWalker::Step::kTorn) {
      loaded.torn = TornTail{walker.offset(), size - walker.offset()};
      break;
    }
    const std::uint64_t record_offset = walker.offset();
    const RecordHeader& header = walker.header();
    in.skip(kRecordHeaderBytes);
    in.begin_payload(header.length);
    if (header.kind == RecordKind::kImage) {
      decode_image(in, loaded.state);
      walker.payload_fits(in.payload_crc());  // the image is never torn: a mismatch throws
      loaded.image_end = record_offset + kRecordHeaderBytes + header.length;
    } else {
      payload.clear();
      in.rest(payload);
      if (!walker.payload_fits(in.payload_crc())) {
        loaded.torn = TornTail{record_offset, size - record_offset};
        break;
      }
      const OperationSet allowed = header.kind == RecordKind::kDelta ? OperationSet::kDelta : OperationSet::kAll;
      apply_record(decode_operations(payload, record_offset + kRecordHeaderBytes, allowed), record_offset, loaded.state);
    }
    walker.advance();
  }
  loaded.state.id = walker.last_id();
  loaded.records = walker.records();
  loaded.end = walker.offset();
  loaded.last_start = walker.last_start();
  loaded.last_kind = walker.last_kind();
  for (std::size_t s = 0; s < kShardCount; ++s) loaded.state.size_bytes += loaded.state.shard_bytes[s];
  return loaded;
}

template <class Source>
Outcome load_guarded(Source&& make_source, std::uint64_t size) {
  try {
    auto in = make_source();
    return load_records(in, size);
  } catch (const Damage& damage) {
    return Outcome::failure(damage_error(damage));
  } catch (const ReadFailure& failure) {
    return Outcome::failure(os_error(failure.os_errno, "read"));
  }
}

}  // namespace

Outcome parse_snapshot_file(std::string_view bytes) {
  return load_guarded([&] { return SourceReader(bytes); }, bytes.size());
}

namespace persist {
Outcome load_from_descriptor(int fd, std::uint64_t size) {
  return load_guarded([&] { return SourceReader(fd, 0, size); }, size);
}
}  // namespace persist

Outcome load_snapshot_file(const std::string& path) {
  // Shared lock: an append in progress is read whole or not at all.
  Descriptor fd;
  if (const int error = open_locked(path, O_RDONLY, LOCK_SH, fd); error != 0) {
    return Outcome::failure(os_error(error, error == kNotRegularFile ? "not a regular file" : ""));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Outcome::failure(os_error(errno));
  auto loaded = load_from_descriptor(fd.get(), static_cast<std::uint64_t>(info.st_size));
  if (loaded) loaded.value().writer_active = writer_pid(fd.get()) >= 0;
  return loaded;
}

}  // namespace tallowmere
