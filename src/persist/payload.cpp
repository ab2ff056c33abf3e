#include "persist/payload.h"

#include <cerrno>
#include <unistd.h>

#include <algorithm>

#include "codec/utf8.h"

namespace tallowmere::persist {
namespace {

constexpr std::size_t kMaxPeek = 128;

}  // namespace

void append_varint(std::string& out, std::uint64_t value) {
  do {
    auto byte = static_cast<unsigned char>(value & 0x7F);
    value >>= 7;
    if (value != 0) byte |= 0x80;
    out.push_back(static_cast<char>(byte));
  } while (value != 0);
}

SourceReader::SourceReader(std::string_view bytes, std::uint64_t base_offset) noexcept
    : at_(bytes.data()), end_(bytes.data() + bytes.size()), offset_(base_offset), input_end_(base_offset + bytes.size()) {}

SourceReader::SourceReader(int fd, std::uint64_t offset, std::uint64_t end)
    : fd_(fd),
      buffer_((fault::fault_point(), new char[kBufferBytes])),
      at_(buffer_.get()),
      end_(buffer_.get()),
      offset_(offset),
      input_end_(end) {}

void SourceReader::refill(std::size_t n) {
  if (fd_ < 0) return;
  const std::size_t kept = static_cast<std::size_t>(end_ - at_);
  if (kept >= n) return;
  std::memmove(buffer_.get(), at_, kept);
  at_ = buffer_.get();
  end_ = at_ + kept;
  std::uint64_t position = offset_ + kept;
  while (static_cast<std::size_t>(end_ - at_) < n && position < input_end_) {
    const std::size_t room = kBufferBytes - static_cast<std::size_t>(end_ - buffer_.get());
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, input_end_ - position));
    const ssize_t got = ::pread(fd_, const_cast<char*>(end_), wanted, static_cast<off_t>(position));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ReadFailure{errno};
    }
    if (got == 0) {
      input_end_ = position;  // the file is shorter than it said
      break;
    }
    end_ += got;
    position += static_cast<std::uint64_t>(got);
  }
}

std::string_view SourceReader::peek(std::size_t n) {
  n = std::min(n, kMaxPeek);
  refill(n);
  return {at_, std::min<std::size_t>(n, static_cast<std::size_t>(end_ - at_))};
}

void SourceReader::skip(std::uint64_t n) {
  const std::size_t buffered = static_cast<std::size_t>(end_ - at_);
  if (n <= buffered) {
    at_ += n;
  } else {
    at_ = end_;  // a file reader refills from the new offset
  }
  offset_ += n;
}

void SourceReader::begin_payload(std::uint64_t length) noexcept {
  payload_end_ = offset_ + length;
  crc_ = 0;
}

void SourceReader::need(std::size_t n) {
  if (static_cast<std::size_t>(end_ - at_) >= n) return;
  refill(n);
  if (static_cast<std::size_t>(end_ - at_) < n) fail("the file ends inside a record");
}

void SourceReader::consume(const char* data, std::size_t n) noexcept {
  crc_ = crc32c_extend(crc_, data, n);
  at_ += n;
  offset_ += n;
}

void SourceReader::fail(const char* what) const { throw Damage{offset_, what}; }

std::uint8_t SourceReader::byte() {
  if (payload_remaining() == 0) fail("payload ends inside an entry");
  need(1);
  const auto value = static_cast<std::uint8_t>(*at_);
  consume(at_, 1);
  return value;
}

std::uint64_t SourceReader::varint() {
  std::uint64_t value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    const std::uint8_t next = byte();
    if (shift == 63 && next > 1) fail("length or count does not fit in 64 bits");
    value |= static_cast<std::uint64_t>(next & 0x7F) << shift;
    if ((next & 0x80) == 0) return value;
  }
  fail("length or count does not fit in 64 bits");
}

std::uint64_t SourceReader::count() {
  const std::uint64_t at = offset_;
  const std::uint64_t value = varint();
  if (value > payload_remaining()) throw Damage{at, "count " + std::to_string(value) + " exceeds the bytes that remain"};
  return value;
}

std::uint64_t SourceReader::length_prefix() {
  const std::uint64_t at = offset_;
  const std::uint64_t length = varint();
  if (length > payload_remaining()) {
    throw Damage{at, "length " + std::to_string(length) + " exceeds the bytes that remain"};
  }
  return length;
}

std::string_view SourceReader::text() {
  const auto length = static_cast<std::size_t>(length_prefix());
  if (fd_ < 0 || length <= kBufferBytes / 2) {
    need(length);
    const std::string_view view(at_, length);
    consume(at_, length);
    return view;
  }
  fault::fault_point();
  long_text_.resize(length);
  read_direct(long_text_.data(), length);
  return long_text_;
}

std::string_view SourceReader::name() {
  const std::uint64_t at = offset_;
  const std::string_view text_read = text();
  if (!is_valid_utf8(text_read)) throw Damage{at, "a name is not valid UTF-8"};
  return text_read;
}

EncodedValue SourceReader::value() {
  const auto length = static_cast<std::size_t>(length_prefix());
  if (fd_ < 0 || length <= kBufferBytes / 4) {
    need(length);
    EncodedValue value = EncodedValue::copy_of(at_, length);
    consume(at_, length);
    return value;
  }
  // A large value is read straight into its own buffer, which nobody else holds yet.
  char* target = nullptr;
  EncodedValue value = EncodedValue::filled(length, [&](char* bytes) { target = bytes; });
  read_direct(target, length);
  return value;
}

void SourceReader::read_direct(char* out, std::size_t length) {
  const std::uint64_t at = offset_;
  std::size_t done = std::min(length, static_cast<std::size_t>(end_ - at_));
  std::memcpy(out, at_, done);
  consume(at_, done);
  while (done < length) {
    const ssize_t got = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ReadFailure{errno};
    if (got == 0) throw Damage{at, "the file ends inside a record"};
    crc_ = crc32c_extend(crc_, out + done, static_cast<std::size_t>(got));
    done += static_cast<std::size_t>(got);
    offset_ += static_cast<std::uint64_t>(got);  // the buffer is empty: it was copied first
  }
}

void SourceReader::rest(std::string& out) {
  std::uint64_t remaining = payload_remaining();
  fault::fault_point();
  out.reserve(out.size() + remaining);
  while (remaining > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kBufferBytes / 2));
    need(chunk);
    out.append(at_, chunk);
    consume(at_, chunk);
    remaining -= chunk;
  }
}

}  // namespace tallowmere::persist
