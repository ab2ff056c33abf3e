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

namespace encoded_detail {

// Blocks for small values, kept per thread after their value dies and handed to
// the next small value of the same size class. A batch replaces a thousand
// values at a time, far more than the C library's own per-thread cache keeps, so
// without this most blocks would take its slow paths both ways. A block may be
// freed on another thread than the one that made it: all blocks are plain
// ::operator new memory, so any thread's cache may take it. Each class keeps at
// most kMaxBlocks; a thread's blocks go back to the system when it ends. Under the
// sanitizers every block goes straight to the system, so they see each one.
class SmallBlocks {
 public:
  static constexpr std::size_t kGranule = 16;
  static constexpr std::size_t kClasses = 5;  // blocks of 16 .. 80 bytes
  static constexpr std::size_t kMaxBlocks = 2048;

  // The class of a block of `bytes`, or kClasses when such blocks are not kept.
  static constexpr std::size_t class_of(std::size_t bytes) noexcept {
    return bytes <= kGranule * kClasses ? (bytes + kGranule - 1) / kGranule - 1 : kClasses;
  }
  static constexpr std::size_t block_bytes(std::size_t cls) noexcept { return (cls + 1) * kGranule; }

  static void* take(std::size_t bytes) {
    const std::size_t cls = class_of(bytes);
#ifndef TALLOWMERE_SANITIZED
    if (cls < kClasses) {
      SmallBlocks& blocks = mine();
      if (blocks.alive_ && blocks.lists_[cls] != nullptr) {
        FreeBlock* block = blocks.lists_[cls];
        blocks.lists_[cls] = block->next;
        --blocks.counts_[cls];
        return block;
      }
    }
#endif
    return ::operator new(cls < kClasses ? block_bytes(cls) : bytes);
  }

  static void give(void* block, [[maybe_unused]] std::size_t bytes) noexcept {
#ifndef TALLOWMERE_SANITIZED
    const std::size_t cls = class_of(bytes);
    if (cls < kClasses) {
      SmallBlocks& blocks = mine();
      if (blocks.alive_ && blocks.counts_[cls] < kMaxBlocks) {
        blocks.lists_[cls] = new (block) FreeBlock{blocks.lists_[cls]};
        ++blocks.counts_[cls];
        return;
      }
    }
#endif
    ::operator delete(block);
  }

  SmallBlocks() noexcept = default;
  SmallBlocks(const SmallBlocks&) = delete;
  SmallBlocks& operator=(const SmallBlocks&) = delete;
  ~SmallBlocks() {
    alive_ = false;  // values freed later in this thread's exit go straight to the system
    for (FreeBlock*& list : lists_) {
      while (list != nullptr) ::operator delete(std::exchange(list, list->next));
    }
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  static SmallBlocks& mine() noexcept {
    thread_local SmallBlocks blocks;
    return blocks;
  }

  FreeBlock* lists_[kClasses] = {};
  std::size_t counts_[kClasses] = {};
  bool alive_ = true;
};

}  // namespace encoded_detail

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
    void* memory = encoded_detail::SmallBlocks::take(sizeof(Buffer) + size);
    Buffer* buffer = new (memory) Buffer{{1}, size};
    fill(buffer->bytes());  // fill never throws: it copies bytes
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
      const std::size_t bytes = sizeof(Buffer) + buffer_->size;
      buffer_->~Buffer();
      encoded_detail::SmallBlocks::give(static_cast<void*>(buffer_), bytes);
    }
    buffer_ = nullptr;
  }

  Buffer* buffer_ = nullptr;
};

}  // namespace tallowmere
