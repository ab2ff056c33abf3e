// persist/format.h: the bytes of a store file (layout and rules: format.md beside
// this file). Everything that reads or writes a file frames records here, so the
// loader, the snapshot appender and the durable log agree on where a file's valid
// part ends.
// * Offsets and sizes are named constants that mirror format.md's tables.
// * RecordWalker holds the framing rules (checksums, kinds, order, ids, lengths)
//   and the mark: a fault before the mark is damage (thrown as Damage, with the
//   offset), a fault from the mark on ends the file as a torn tail. It never reads
//   a file itself: callers hand it the bytes, so it runs the same over a file and
//   over memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "store/snapshot.h"

namespace tallowmere::persist {

inline constexpr char kMagic[8] = {'\x89', 'T', 'M', 'S', 'N', 'A', 'P', '\n'};
inline constexpr std::uint32_t kVersion1 = 1;
inline constexpr std::uint32_t kVersion2 = 2;
inline constexpr std::size_t kHeaderBytesV1 = 36;
inline constexpr std::size_t kHeaderBytesV2 = 96;
inline constexpr std::size_t kMarkSlotOffset = 36;  // slot i at 36 + 28 * i
inline constexpr std::size_t kMarkSlotBytes = 28;
inline constexpr std::size_t kRecordHeaderBytes = 40;

enum class RecordKind : std::uint8_t { kImage = 1, kDelta = 2, kOperations = 3 };

// A fault found in a file; `offset` is where, `what` says what.
struct Damage {
  std::uint64_t offset;
  std::string what;
};

struct Mark {
  std::uint64_t sequence = 0;
  std::uint64_t record_start = 0;  // start of the last record the mark covers
  std::uint64_t record_end = 0;    // its end: every byte before it was synced
};

struct FileHeader {
  std::uint32_t version = kVersion2;
  Lineage lineage{};
  std::optional<Mark> mark;  // version 2 only
  std::size_t size() const noexcept { return version == kVersion1 ? kHeaderBytesV1 : kHeaderBytesV2; }
};

struct RecordHeader {
  RecordKind kind = RecordKind::kImage;
  std::uint64_t length = 0;
  std::uint64_t id = 0;
  std::uint64_t base_id = 0;
  std::uint32_t payload_crc = 0;
};

using HeaderBytes = std::array<unsigned char, kHeaderBytesV2>;
using MarkSlotBytes = std::array<unsigned char, kMarkSlotBytes>;
using RecordHeaderBytes = std::array<unsigned char, kRecordHeaderBytes>;

void put_le(unsigned char* at, std::uint64_t value, std::size_t bytes) noexcept;
std::uint64_t get_le(const unsigned char* at, std::size_t bytes) noexcept;

// A version 2 header whose mark covers the record at [start, end).
HeaderBytes encode_file_header(const Lineage& lineage, const Mark& mark) noexcept;
// The slot a mark is written to, and its offset in the file.
MarkSlotBytes encode_mark_slot(const Mark& mark) noexcept;
std::size_t mark_slot_offset(const Mark& mark) noexcept;
// Checks the header in the `size` bytes present at `bytes` (at most 96 are read);
// throws Damage. Version 2 needs a valid mark that lies after the header.
FileHeader decode_file_header(const unsigned char* bytes, std::size_t size);

RecordHeaderBytes encode_record_header(const RecordHeader& header) noexcept;

// Walks the records of a file of `file_size` bytes whose header is `header`.
class RecordWalker {
 public:
  enum class Step { kRecord, kEnd, kTorn };

  RecordWalker(const FileHeader& header, std::uint64_t file_size) noexcept;

  std::uint64_t offset() const noexcept { return offset_; }
  std::uint64_t records() const noexcept { return records_; }
  std::uint64_t last_id() const noexcept { return last_id_; }
  std::optional<RecordKind> last_kind() const noexcept { return last_kind_; }
  std::uint64_t last_start() const noexcept { return last_start_; }
  const RecordHeader& header() const noexcept { return header_; }
  // Where records may be torn from: faults before it are damage.
  std::uint64_t tolerant_from() const noexcept { return tolerant_from_; }

  // Starts the walk at the record the mark covers instead of the first (for
  // appenders, which need only the end); the walk goes on from the mark's end.
  // Throws Damage unless `bytes` (the header at the mark's start) frames a record
  // ending exactly there.
  void resume_at_mark(const Mark& mark, const unsigned char* bytes, std::size_t available);

  // `bytes` holds the `available` bytes at offset() (all of them up to 40). On
  // kRecord, header() describes a record whose payload lies inside the file: read
  // it, check it with payload_fits(), then advance(). kTorn: the file's valid part
  // ends at offset().
  Step next(const unsigned char* bytes, std::size_t available);
  // Whether the payload's checksum matches; a mismatch is damage or a torn tail.
  bool payload_fits(std::uint32_t payload_crc);
  void advance() noexcept;

 private:
  Step fail(const std::string& what, bool cut_short);

  std::uint32_t version_;
  std::uint64_t file_size_;
  std::uint64_t tolerant_from_;
  std::uint64_t offset_;
  std::uint64_t records_ = 0;
  std::uint64_t last_id_ = 0;
  std::uint64_t last_start_ = 0;
  std::optional<RecordKind> last_kind_;
  RecordHeader header_;
};

}  // namespace tallowmere::persist
