// store/encoded_value.h: the immutable, shared bytes of one stored value.
// * One allocation holds the count, the length and the bytes; a handle is one
//   pointer, so a key map entry stays small and copying a value never copies bytes.
// * The bytes never change after creation, so any number of threads may read them
//   while holding their own handle; only the count is atomic.
// * Counts follow the map's orders: increment relaxed (the copier already holds a
//   reference), decrement acq_rel so the freeing thread sees every other reader's
//   last access.
// * size() is the value's size in all byte accounting of the store.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "common/fault.h"

namespace tallowmere {

class EncodedValue {
 public:
  EncodedValue() noexcept = default;  // empty handle: no value

  // Copies `size` bytes into a new buffer; std::bad_alloc leaves nothing behind.
  static EncodedValue copy_of(const void* bytes, std::size_t size) {
    return filled(size, [&](char* out) {
      if (size != 0) std::memcpy(out, bytes, size);
    });
  }

  // A new buffer of `size` bytes that `fill(char* bytes)` writes in full.
  template <class Fill>
  static EncodedValue filled(std::size_t size, Fill&& fill) {
    fault::fault_point();
    if (size > kMaxSize) throw std::bad_alloc();
    void* memory = ::operator new(sizeof(Buffer) + size);
    Buffer* buffer = new (memory) Buffer{{1}, size};
    fill(buffer->bytes());
    return EncodedValue(buffer);
  }

  EncodedValue(const EncodedValue& other) noexcept : buffer_(other.buffer_) {
    if (buffer_ != nullptr) buffer_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  EncodedValue(EncodedValue&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
  EncodedValue& operator=(const EncodedValue& other) noexcept {
    EncodedValue copy(other);
    swap(copy);
    return *this;
  }
  EncodedValue& operator=(EncodedValue&& other) noexcept {
    EncodedValue taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~EncodedValue() { release(); }

  void swap(EncodedValue& other) noexcept { std::swap(buffer_, other.buffer_); }

  explicit operator bool() const noexcept { return buffer_ != nullptr; }
  const char* data() const noexcept { return buffer_ != nullptr ? buffer_->bytes() : nullptr; }
  std::size_t size() const noexcept { return buffer_ != nullptr ? buffer_->size : 0; }
  std::string_view bytes() const noexcept { return {data(), size()}; }

  // The very same buffer (not merely equal bytes).
  bool same(const EncodedValue& other) const noexcept { return buffer_ == other.buffer_; }

  // What a diff calls "unchanged": the same buffer, or equal length and bytes.
  // Identity and length are checked first so most comparisons never read the bytes.
  friend bool same_content(const EncodedValue& a, const EncodedValue& b) noexcept {
    if (a.buffer_ == b.buffer_) return true;
    if (a.size() != b.size()) return false;
    return a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0;
  }

 private:
  struct Buffer {
    std::atomic<std::size_t> refs;
    std::size_t size;
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
  };
  static_assert(sizeof(Buffer) == 16, "header and bytes share one 16-byte aligned block");
  static constexpr std::size_t kMaxSize = (std::size_t{1} << 62);

  explicit EncodedValue(Buffer* buffer) noexcept : buffer_(buffer) {}

  void release() noexcept {
    if (buffer_ != nullptr && buffer_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      buffer_->~Buffer();
      ::operator delete(static_cast<void*>(buffer_));
    }
    buffer_ = nullptr;
  }

  Buffer* buffer_ = nullptr;
};

}  // namespace tallowmere
