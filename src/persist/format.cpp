#include "persist/format.h"

#include <cstring>
#include <limits>

#include "common/crc32c.h"

namespace tallowmere::persist {
namespace {

constexpr std::size_t kMarkCrcOffset = 24;

std::optional<Mark> decode_mark_slot(const unsigned char* slot) noexcept {
  if (get_le(slot + kMarkCrcOffset, 4) != crc32c(slot, kMarkCrcOffset)) return std::nullopt;
  Mark mark{get_le(slot, 8), get_le(slot + 8, 8), get_le(slot + 16, 8)};
  if (mark.sequence == 0) return std::nullopt;
  return mark;
}

const char* kind_name(RecordKind kind) noexcept {
  switch (kind) {
    case RecordKind::kImage:
      return "an image";
    case RecordKind::kDelta:
      return "a delta";
    case RecordKind::kOperations:
      return "an operations record";
  }
  return "a record";
}

}  // namespace

void put_le(unsigned char* at, std::uint64_t value, std::size_t bytes) noexcept {
  for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t get_le(const unsigned char* at, std::size_t bytes) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = (value << 8) | at[i];
  return value;
}

MarkSlotBytes encode_mark_slot(const Mark& mark) noexcept {
  MarkSlotBytes slot{};
  put_le(slot.data(), mark.sequence, 8);
  put_le(slot.data() + 8, mark.record_start, 8);
  put_le(slot.data() + 16, mark.record_end, 8);
  put_le(slot.data() + kMarkCrcOffset, crc32c(slot.data(), kMarkCrcOffset), 4);
  return slot;
}

std::size_t mark_slot_offset(const Mark& mark) noexcept {
  return kMarkSlotOffset + kMarkSlotBytes * static_cast<std::size_t>(mark.sequence % 2);
}

HeaderBytes encode_file_header(const Lineage& lineage, const Mark& mark) noexcept {
  HeaderBytes bytes{};
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  put_le(bytes.data() + 8, kVersion2, 4);
  std::memcpy(bytes.data() + 16, lineage.data(), lineage.size());
  put_le(bytes.data() + 32, crc32c(bytes.data(), 32), 4);
  const MarkSlotBytes slot = encode_mark_slot(mark);
  std::memcpy(bytes.data() + mark_slot_offset(mark), slot.data(), slot.size());
  return bytes;
}

FileHeader decode_file_header(const unsigned char* bytes, std::size_t size) {
  const std::size_t magic_present = size < sizeof kMagic ? size : sizeof kMagic;
  if (std::memcmp(bytes, kMagic, magic_present) != 0) throw Damage{0, "not a tallowmere snapshot file (bad magic)"};
  if (size < kHeaderBytesV1) throw Damage{0, "the file header is incomplete"};
  FileHeader header;
  header.version = static_cast<std::uint32_t>(get_le(bytes + 8, 4));
  if (header.version != kVersion1 && header.version != kVersion2) {
    throw Damage{8, "unknown format version " + std::to_string(header.version) + " (this build reads versions " +
                        std::to_string(kVersion1) + " and " + std::to_string(kVersion2) + ")"};
  }
  if (get_le(bytes + 32, 4) != crc32c(bytes, 32)) throw Damage{32, "file header checksum mismatch"};
  if (get_le(bytes + 12, 4) != 0) throw Damage{12, "unknown header flags"};
  std::memcpy(header.lineage.data(), bytes + 16, header.lineage.size());
  if (header.version == kVersion1) return header;
  if (size < kHeaderBytesV2) throw Damage{kHeaderBytesV1, "the file header is incomplete"};
  if (get_le(bytes + 92, 4) != 0) throw Damage{92, "reserved header bytes are not zero"};
  const std::optional<Mark> first = decode_mark_slot(bytes + kMarkSlotOffset);
  const std::optional<Mark> second = decode_mark_slot(bytes + kMarkSlotOffset + kMarkSlotBytes);
  if (first && second) {
    header.mark = first->sequence > second->sequence ? first : second;
  } else {
    header.mark = first ? first : second;
  }
  if (!header.mark) throw Damage{kMarkSlotOffset, "neither mark slot holds a valid mark"};
  const Mark& mark = *header.mark;
  if (mark.record_start < kHeaderBytesV2 || mark.record_end < mark.record_start + kRecordHeaderBytes) {
    throw Damage{mark_slot_offset(mark), "the mark does not describe a record"};
  }
  return header;
}

RecordHeaderBytes encode_record_header(const RecordHeader& header) noexcept {
  RecordHeaderBytes bytes{};
  bytes[4] = static_cast<unsigned char>(header.kind);
  put_le(bytes.data() + 8, header.length, 8);
  put_le(bytes.data() + 16, header.id, 8);
  put_le(bytes.data() + 24, header.base_id, 8);
  put_le(bytes.data() + 32, header.payload_crc, 4);
  put_le(bytes.data(), crc32c(bytes.data() + 4, kRecordHeaderBytes - 4), 4);
  return bytes;
}

RecordWalker::RecordWalker(const FileHeader& header, std::uint64_t file_size) noexcept
    : version_(header.version),
      file_size_(file_size),
      tolerant_from_(header.mark ? header.mark->record_end : std::numeric_limits<std::uint64_t>::max()),
      offset_(header.size()) {}

void RecordWalker::resume_at_mark(const Mark& mark, const unsigned char* bytes, std::size_t available) {
  offset_ = mark.record_start;
  const std::uint64_t tolerant = tolerant_from_;
  tolerant_from_ = std::numeric_limits<std::uint64_t>::max();  // the marked record must be sound
  if (offset_ != kHeaderBytesV2 && available >= kRecordHeaderBytes) {
    // A later record: its predecessor is taken on trust (it was checked when the
    // mark was written), so only its own framing is checked here.
    records_ = 1;
    last_id_ = get_le(bytes + 24, 8);
    last_kind_.reset();
  }
  if (next(bytes, available) != Step::kRecord || offset_ + kRecordHeaderBytes + header_.length != mark.record_end) {
    throw Damage{offset_, "the mark does not point at a record"};
  }
  tolerant_from_ = tolerant;
  // What came before the marked record was checked when the mark was written.
  records_ = 1;
  last_start_ = offset_;
  last_id_ = header_.id;
  last_kind_ = header_.kind;
  offset_ = mark.record_end;
}

RecordWalker::Step RecordWalker::fail(const std::string& what, bool cut_short) {
  const bool tolerated = version_ == kVersion1 ? cut_short && records_ > 0 : offset_ >= tolerant_from_;
  if (!tolerated) throw Damage{offset_, what};
  return Step::kTorn;
}

RecordWalker::Step RecordWalker::next(const unsigned char* bytes, std::size_t available) {
  if (offset_ >= file_size_) {
    if (records_ == 0) throw Damage{offset_, "the file holds no snapshot image"};
    if (offset_ < tolerant_from_ && version_ == kVersion2) {
      throw Damage{offset_, "the file ends before the end of its synced records"};
    }
    return Step::kEnd;
  }
  if (available < kRecordHeaderBytes) return fail("record header is cut short", true);
  if (get_le(bytes, 4) != crc32c(bytes + 4, kRecordHeaderBytes - 4)) {
    return fail("record header checksum mismatch", false);
  }
  header_.kind = static_cast<RecordKind>(bytes[4]);
  header_.length = get_le(bytes + 8, 8);
  header_.id = get_le(bytes + 16, 8);
  header_.base_id = get_le(bytes + 24, 8);
  header_.payload_crc = static_cast<std::uint32_t>(get_le(bytes + 32, 4));
  if (bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0 || get_le(bytes + 36, 4) != 0) {
    return fail("reserved record header bytes are not zero", false);
  }
  const RecordKind kind = header_.kind;
  const bool known = kind == RecordKind::kImage || kind == RecordKind::kDelta ||
                     (kind == RecordKind::kOperations && version_ == kVersion2);
  if (!known) return fail("unknown record kind " + std::to_string(bytes[4]), false);
  if (records_ == 0 && kind != RecordKind::kImage) return fail("the first record is not a snapshot image", false);
  if (records_ != 0 && kind == RecordKind::kImage) return fail("a record after the first is an image", false);
  if (kind == RecordKind::kDelta && last_kind_ == RecordKind::kOperations) {
    return fail("a delta follows an operations record", false);
  }
  if (records_ != 0 && header_.base_id != last_id_) {
    return fail(std::string(kind_name(kind)) + " from " + std::to_string(header_.base_id) +
                    " does not follow the record before it (" + std::to_string(last_id_) + ")",
                false);
  }
  if (kind == RecordKind::kOperations && header_.id != last_id_ + 1) {
    return fail("an operations record is not numbered after the record before it", false);
  }
  if (header_.length > file_size_ - offset_ - kRecordHeaderBytes) return fail("record payload is cut short", true);
  const std::uint64_t end = offset_ + kRecordHeaderBytes + header_.length;
  if (offset_ < tolerant_from_ && end > tolerant_from_) {
    throw Damage{offset_, "a record crosses the end of the synced records"};
  }
  return Step::kRecord;
}

bool RecordWalker::payload_fits(std::uint32_t payload_crc) {
  if (payload_crc == header_.payload_crc) return true;
  fail("record checksum mismatch", false);
  return false;
}

void RecordWalker::advance() noexcept {
  last_start_ = offset_;
  offset_ += kRecordHeaderBytes + header_.length;
  last_id_ = header_.id;
  last_kind_ = header_.kind;
  ++records_;
}

}  // namespace tallowmere::persist
