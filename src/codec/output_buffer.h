// codec/output_buffer.h: the growable byte buffer the encoder appends to.
// * The first allocation is 64 bytes (most encoded values are small); after that
//   the capacity doubles, so appending n bytes in total costs O(n) amortised.
// * Writers ask for room once per header+payload (`reserve`), write through the
//   returned pointer and `commit` what they wrote: one capacity check per write.
// * Allocation failure throws std::bad_alloc and leaves the contents untouched.
// * Large payloads may be referenced instead of copied (`append_external`): the
//   buffer then holds its own bytes with external pieces spliced in at recorded
//   positions, and `copy_to` writes the whole output once into its final place.
//   Whoever appends an external piece keeps its bytes alive and unchanged until
//   the buffer is cleared, truncated before it or copied out.
// Threads: a plain value type with one owner.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "common/fault.h"

namespace tallowmere {

class OutputBuffer {
 public:
  static constexpr std::size_t kFirstCapacity = 64;

  OutputBuffer() noexcept = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        externals_(std::move(other.externals_)),
        external_bytes_(std::exchange(other.external_bytes_, 0)) {}
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      externals_ = std::move(other.externals_);
      external_bytes_ = std::exchange(other.external_bytes_, 0);
    }
    return *this;
  }
  ~OutputBuffer() { std::free(data_); }

  // The buffer's own bytes; the whole output only while has_external() is false.
  const char* data() const noexcept { return data_; }
  // The count of own bytes: positions for truncate and copy_to are counted in these.
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  // Forgets the contents but keeps the allocation for reuse.
  void clear() noexcept {
    size_ = 0;
    externals_.clear();
    external_bytes_ = 0;
  }
  // Drops everything after the first `size` bytes (an abandoned partial write),
  // external pieces placed after them included.
  void truncate(std::size_t size) noexcept {
    if (size < size_) size_ = size;
    while (!externals_.empty() && externals_.back().at > size_) {
      external_bytes_ -= externals_.back().size;
      externals_.pop_back();
    }
  }
  // Returns the allocation to the system as well.
  void reset() noexcept {
    std::free(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
    std::vector<External>().swap(externals_);
    external_bytes_ = 0;
  }

  // Splices `n` bytes at `bytes` in after what was appended so far, without copying
  // them; they must stay valid until they are copied out or dropped.
  void append_external(const char* bytes, std::size_t n) {
    if (n > SIZE_MAX / 2 - external_bytes_) throw std::bad_alloc();
    fault::fault_point();
    externals_.push_back({size_, bytes, n});
    external_bytes_ += n;
  }
  bool has_external() const noexcept { return !externals_.empty(); }

  // The length of the output between own positions `begin` and `end`, external
  // pieces spliced in there included. A piece placed at `begin` belongs to what
  // came before it (unless `begin` is 0), one placed at `end` to this range: so
  // values appended back to back, each starting with an own byte, split cleanly.
  std::size_t output_size(std::size_t begin, std::size_t end) const noexcept {
    std::size_t total = end - begin;
    for (auto it = first_external_after(begin); it != externals_.end() && it->at <= end; ++it) total += it->size;
    return total;
  }
  std::size_t output_size() const noexcept { return size_ + external_bytes_; }

  // Writes that output (output_size(begin, end) bytes) to `out`.
  void copy_to(char* out, std::size_t begin, std::size_t end) const noexcept {
    std::size_t at = begin;
    for (auto it = first_external_after(begin); it != externals_.end() && it->at <= end; ++it) {
      if (it->at != at) std::memcpy(out, data_ + at, it->at - at);
      out += it->at - at;
      std::memcpy(out, it->bytes, it->size);
      out += it->size;
      at = it->at;
    }
    if (end != at) std::memcpy(out, data_ + at, end - at);
  }

  // Room for `n` more bytes; the pointer is valid until the next reserve.
  char* reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }

  void push_byte(std::uint8_t b) {
    *reserve(1) = static_cast<char>(b);
    size_ += 1;
  }
  void append(const void* bytes, std::size_t n) {
    char* out = reserve(n);
    if (n != 0) std::memcpy(out, bytes, n);
    size_ += n;
  }

 private:
  void grow(std::size_t extra) {
    if (extra > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    std::size_t needed = size_ + extra;
    std::size_t next = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
    while (next < needed) next *= 2;
    fault::fault_point();
    void* grown = std::realloc(data_, next);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = next;
  }

  struct External {
    std::size_t at;  // own bytes before it
    const char* bytes;
    std::size_t size;
  };

  std::vector<External>::const_iterator first_external_after(std::size_t begin) const noexcept {
    if (begin == 0) return externals_.begin();
    return std::partition_point(externals_.begin(), externals_.end(),
                                [begin](const External& piece) { return piece.at <= begin; });
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::vector<External> externals_;  // in the order appended, so `at` never decreases
  std::size_t external_bytes_ = 0;
};

}  // namespace tallowmere
