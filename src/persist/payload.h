// persist/payload.h: writing and reading record payloads (format.md: Payloads).
// * Writers: append_varint/append_text build small payloads in a string (a
//   log record); PayloadWriter streams a large one (an image) through a buffer to
//   a file, summing its length and checksum per chunk, not per field.
// * SourceReader reads a file (through a bounded buffer) or bytes in memory, one
//   payload at a time: every length and count is checked against the bytes left
//   in the payload before anything is allocated, and the payload's checksum is
//   summed as it is consumed. Faults throw Damage with their offset; a failed
//   read throws ReadFailure with the errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/crc32c.h"
#include "common/fault.h"
#include "persist/format.h"
#include "store/encoded_value.h"
#include "store/snapshot.h"

namespace tallowmere::persist {

struct ReadFailure {
  int os_errno;
};

void append_varint(std::string& out, std::uint64_t value);
inline void append_text(std::string& out, std::string_view text) {
  append_varint(out, text.size());
  out.append(text);
}

// Gathers payload bytes in a buffer and hands them to `Out` (put(const void*, size))
// in large chunks. Values larger than a quarter of the buffer pass straight through.
template <class Out>
class PayloadWriter {
 public:
  static constexpr std::size_t kBufferBytes = 1 << 20;

  explicit PayloadWriter(Out& out) : out_(out), buffer_((fault::fault_point(), new char[kBufferBytes])) {}
  PayloadWriter(const PayloadWriter&) = delete;
  PayloadWriter& operator=(const PayloadWriter&) = delete;

  void bytes(const void* data, std::size_t size) {
    if (used_ + size > kBufferBytes) {
      flush();
      if (size > kBufferBytes / 4) {
        emit(data, size);
        return;
      }
    }
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
  }
  void varint(std::uint64_t value) {
    std::string encoded;
    append_varint(encoded, value);
    bytes(encoded.data(), encoded.size());
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

// The image payload of a state: its non-empty namespaces, each with its pairs.
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

class SourceReader {
 public:
  static constexpr std::size_t kBufferBytes = 1 << 20;

  // Bytes in memory; offsets count from `base_offset`.
  explicit SourceReader(std::string_view bytes, std::uint64_t base_offset = 0) noexcept;
  // A file read from `offset` up to `end` (never past it) through a buffer.
  SourceReader(int fd, std::uint64_t offset, std::uint64_t end);

  std::uint64_t offset() const noexcept { return offset_; }
  // Up to `n` (at most 128) bytes at offset(), fewer only where the input ends;
  // nothing is consumed.
  std::string_view peek(std::size_t n);
  void skip(std::uint64_t n);

  // Reads below consume the payload of `length` bytes that starts at offset().
  void begin_payload(std::uint64_t length) noexcept;
  std::uint64_t payload_remaining() const noexcept { return payload_end_ - offset_; }
  std::uint32_t payload_crc() const noexcept { return crc_; }

  std::uint8_t byte();
  std::uint64_t varint();
  // A count of items that each take at least one byte: never more than remain.
  std::uint64_t count();
  // A length-prefixed string; the view is valid until the next read.
  std::string_view text();
  std::string_view name();  // text() holding valid UTF-8
  EncodedValue value();
  // The rest of the payload, appended to `out`.
  void rest(std::string& out);
  [[noreturn]] void fail(const char* what) const;

 private:
  std::uint64_t length_prefix();
  // Makes `n` bytes available at at_ (n at most the buffer), or fails.
  void need(std::size_t n);
  void refill(std::size_t n);
  void consume(const char* data, std::size_t n) noexcept;
  // Reads `length` bytes of a file payload into `out`, past the buffer.
  void read_direct(char* out, std::size_t length);

  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  const char* at_;
  const char* end_;
  std::uint64_t offset_;
  std::uint64_t input_end_;  // absolute offset where the input ends
  std::uint64_t payload_end_ = 0;
  std::uint32_t crc_ = 0;
  std::string long_text_;  // a name longer than the buffer
};

}  // namespace tallowmere::persist
