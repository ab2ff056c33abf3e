// codec/output_buffer.h: the growable byte buffer the encoder appends to.
// * The first allocation is 64 bytes (most encoded values are small); after that
//   the capacity doubles, so appending n bytes in total costs O(n) amortised.
// * Writers ask for room once per header+payload (`reserve`), write through the
//   returned pointer and `commit` what they wrote: one capacity check per write.
// * Allocation failure throws std::bad_alloc and leaves the contents untouched.
// Threads: a plain value type with one owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

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
        capacity_(std::exchange(other.capacity_, 0)) {}
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~OutputBuffer() { std::free(data_); }

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  // Forgets the contents but keeps the allocation for reuse.
  void clear() noexcept { size_ = 0; }
  // Drops everything after the first `size` bytes (an abandoned partial write).
  void truncate(std::size_t size) noexcept {
    if (size < size_) size_ = size;
  }
  // Returns the allocation to the system as well.
  void reset() noexcept {
    std::free(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
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

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tallowmere
