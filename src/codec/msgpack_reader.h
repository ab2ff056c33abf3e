// codec/msgpack_reader.h: the MessagePack decode loop, generic over what it builds.
// * `Reader` is a cursor over borrowed bytes; its position only grows, and every
//   read is checked against the end (and against 64-bit overflow) before any byte
//   is touched, so no input can make it read out of bounds.
// * `read_value` reads exactly one value and leaves the cursor after it. It is a
//   template over a Builder, so the same loop makes Python objects (decode_py.cpp)
//   and Value trees (tests, fuzzing). The Builder decides how containers are held.
//   A declared count alone never justifies an allocation. The loop keeps a
//   budget of elements, starting at the input's length (every element takes at
//   least one byte), and tells the builder that a container may be sized ahead
//   of its elements only while the counts declared so far fit in it; past it,
//   the builder grows with what arrives. However counts are chained, memory
//   sized ahead stays within an element per input byte.
// * Nesting is checked on entry to every value, before its marker is read, and a
//   value deeper than kMaxDepth is refused. The loop keeps the open containers in
//   a bounded frame stack of its own instead of recursing, so native stack use is
//   fixed whatever the input.
// * Failures are thrown: CoreError(Value) for malformed input, and whatever the
//   Builder throws. Items already built are owned by the Builder's types, so an
//   exception releases them on the way out.
//
// Builder interface (Item, ArrayState and MapState default-constructible and movable):
//   Item nil(); Item boolean(bool); Item uint(uint64_t); Item sint(int64_t);
//   Item fixint(int)                           -- -32..127, from a one-byte marker
//   Item f32(float); Item f64(double); Item str(string_view); Item bin(string_view);
//   Item map_key_str(string_view)              -- a fixstr map key (lets Python cache keys)
//   ArrayState array_begin(uint64_t n, bool presize); void array_push(ArrayState&, Item&&);
//   Item array_finish(ArrayState&, uint64_t n);
//   MapState map_begin(uint64_t n, bool presize); void map_insert(MapState&, Item&& key, Item&& value);
//   (`presize`: n is within the budget, so room for n may be made at once)
//   Item map_finish(MapState&);
// Threads: a Reader is used by one thread; the bytes must not change while read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <string_view>

#include "codec/msgpack_writer.h"
#include "common/value.h"
#include "common/error.h"

namespace tallowmere::msgpack {

// "msgpack decode error: " followed by `message`, as a ValueError.
[[noreturn]] void malformed(const char* message);
[[noreturn]] void throw_extension_error();

class Reader {
 public:
  Reader(const char* data, std::size_t length) noexcept
      : start_(reinterpret_cast<const unsigned char*>(data)), cursor_(start_), end_(start_ + length) {}

  std::uint64_t position() const noexcept { return static_cast<std::uint64_t>(cursor_ - start_); }
  std::uint64_t remaining() const noexcept { return static_cast<std::uint64_t>(end_ - cursor_); }

  // The next byte without consuming it; the input must not be exhausted.
  std::uint8_t peek() {
    if (cursor_ == end_) [[unlikely]]
      malformed("unexpected end of input");
    return *cursor_;
  }

  std::uint8_t byte() {
    if (cursor_ == end_) [[unlikely]]
      malformed("unexpected end of input");
    return *cursor_++;
  }

  std::string_view take(std::uint64_t n) {
    const unsigned char* start = advance(n);
    return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(n)};
  }

  // The next k bytes (1, 2, 4 or 8) as a big-endian unsigned number.
  std::uint64_t len_of(unsigned k) {
    switch (k) {
      case 1:
        return be<1>();
      case 2:
        return be<2>();
      case 4:
        return be<4>();
      default:
        return be<8>();
    }
  }
  // len_of with the width known at compile time.
  template <unsigned K>
  std::uint64_t be() {
    const unsigned char* p = advance(K);
    if constexpr (K == 1) {
      return p[0];
    } else if constexpr (K == 2) {
      return (std::uint64_t{p[0]} << 8) | p[1];
    } else if constexpr (K == 4) {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return __builtin_bswap32(v);
    } else {
      static_assert(K == 8);
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      return __builtin_bswap64(v);
    }
  }

 private:
  const unsigned char* advance(std::uint64_t n) {
    if (n > remaining()) [[unlikely]] {
      // Which of the two it is matters only for the message.
      if (n > UINT64_MAX - position()) malformed("length overflow");
      malformed("unexpected end of input");
    }
    const unsigned char* start = cursor_;
    cursor_ += n;
    return start;
  }

  // Two pointers (cursor, end) carry the hot state, so a decode loop can keep
  // them in registers; the start is needed only to report the position.
  const unsigned char* start_;
  const unsigned char* cursor_;
  const unsigned char* end_;
};

namespace detail {

// The containers still open around the value being read, innermost on top.
// Frames live in fixed storage inside the decode call (at most one per level
// the depth limit allows) and are constructed only when a container opens; on
// an exception the destructor releases whatever the open frames hold.
template <class Frame, std::size_t Capacity>
class FrameStack {
 public:
  FrameStack() noexcept = default;
  FrameStack(const FrameStack&) = delete;
  FrameStack& operator=(const FrameStack&) = delete;
  ~FrameStack() {
    while (end_ != first()) (void)pop();
  }
  template <class... Args>
  Frame* push(Args&&... args) {
    Frame* frame = new (end_) Frame{std::forward<Args>(args)...};
    ++end_;
    return frame;
  }
  // Destroys the top frame; returns the one below it, or null when none is left.
  Frame* pop() noexcept {
    --end_;
    end_->~Frame();
    return end_ != first() ? end_ - 1 : nullptr;
  }

 private:
  Frame* first() noexcept { return std::launder(reinterpret_cast<Frame*>(storage_)); }
  alignas(Frame) unsigned char storage_[Capacity * sizeof(Frame)];
  Frame* end_ = first();  // one past the top frame
};

template <class Builder>
struct Frame {
  bool is_map;
  bool has_key;          // map: `key` holds a key waiting for its value
  std::uint64_t count;   // declared elements (entries for a map)
  std::uint64_t left;    // still to read
  typename Builder::ArrayState array;
  typename Builder::MapState map;
  typename Builder::Item key;
};

}  // namespace detail

// Reads one value starting at nesting level `depth`. The loop is iterative: an
// opening container pushes a frame, a completed value is handed to the frame on
// top (closing it, and perhaps its parents, when it was the last element), so
// native stack use is one frame stack whatever the nesting.
template <class Builder>
typename Builder::Item read_value(Reader& source, Builder& builder, unsigned depth) {
  // A private copy of the cursor can live in registers; `source` catches up on success.
  Reader reader = source;
  using Item = typename Builder::Item;
  using Frame = detail::Frame<Builder>;
  detail::FrameStack<Frame, kMaxDepth + 1> open;
  Frame* top = nullptr;  // innermost open container, null at the outermost level
  unsigned level = depth;  // nesting level of the value about to be read
  std::uint64_t presize_budget = reader.remaining();  // elements that may still be sized ahead
  for (;;) {
    // ---- read one value at `level`
    if (level > kMaxDepth) [[unlikely]]
      throw_depth_error();
    const std::uint8_t marker = reader.byte();
    Item value;
    std::uint64_t count;
    bool is_map = false;
    bool presize;
    // One jump table over the marker byte (case ranges are a GCC/Clang extension).
    switch (marker) {
      case 0x00 ... 0x7f:
        value = builder.fixint(marker);
        goto complete;
      case 0xe0 ... 0xff:
        value = builder.fixint(static_cast<std::int8_t>(marker));
        goto complete;
      case 0xa0 ... 0xbf: {
        // Short strings: a map key (nearly every key in practice) takes the
        // builder's key path.
        std::string_view bytes = reader.take(marker & 0x1f);
        if (top != nullptr && top->is_map && !top->has_key) {
          value = builder.map_key_str(bytes);
        } else {
          value = builder.str(bytes);
        }
        goto complete;
      }
      case 0x80 ... 0x8f:
        count = marker & 0x0f;
        is_map = true;
        break;
      case 0x90 ... 0x9f:
        count = marker & 0x0f;
        break;
      case 0xc0:
        value = builder.nil();
        goto complete;
      case 0xc1:
        malformed("reserved marker 0xc1");
      case 0xc2:
        value = builder.boolean(false);
        goto complete;
      case 0xc3:
        value = builder.boolean(true);
        goto complete;
      case 0xc4:
        value = builder.bin(reader.take(reader.be<1>()));
        goto complete;
      case 0xc5:
        value = builder.bin(reader.take(reader.be<2>()));
        goto complete;
      case 0xc6:
        value = builder.bin(reader.take(reader.be<4>()));
        goto complete;
      case 0xca: {
        std::uint32_t bits = static_cast<std::uint32_t>(reader.be<4>());
        float f;
        std::memcpy(&f, &bits, 4);
        value = builder.f32(f);
        goto complete;
      }
      case 0xcb: {
        std::uint64_t bits = reader.be<8>();
        double d;
        std::memcpy(&d, &bits, 8);
        value = builder.f64(d);
        goto complete;
      }
      case 0xcc:
        value = builder.uint(reader.be<1>());
        goto complete;
      case 0xcd:
        value = builder.uint(reader.be<2>());
        goto complete;
      case 0xce:
        value = builder.uint(reader.be<4>());
        goto complete;
      case 0xcf:
        value = builder.uint(reader.be<8>());
        goto complete;
      case 0xd0:
        value = builder.sint(static_cast<std::int8_t>(reader.be<1>()));
        goto complete;
      case 0xd1:
        value = builder.sint(static_cast<std::int16_t>(reader.be<2>()));
        goto complete;
      case 0xd2:
        value = builder.sint(static_cast<std::int32_t>(reader.be<4>()));
        goto complete;
      case 0xd3:
        value = builder.sint(static_cast<std::int64_t>(reader.be<8>()));
        goto complete;
      case 0xd9:
        value = builder.str(reader.take(reader.be<1>()));
        goto complete;
      case 0xda:
        value = builder.str(reader.take(reader.be<2>()));
        goto complete;
      case 0xdb:
        value = builder.str(reader.take(reader.be<4>()));
        goto complete;
      case 0xdc:
        count = reader.be<2>();
        break;
      case 0xdd:
        count = reader.be<4>();
        break;
      case 0xde:
        count = reader.be<2>();
        is_map = true;
        break;
      case 0xdf:
        count = reader.be<4>();
        is_map = true;
        break;
      default:  // 0xc7..0xc9 and 0xd4..0xd8: extension types
        throw_extension_error();
    }
    // ---- a container opens
    presize = count <= presize_budget;
    if (presize) presize_budget -= count;
    if (is_map) {
      auto map = builder.map_begin(count, presize);
      if (count != 0) {
        top = open.push(true, false, count, count, typename Builder::ArrayState{}, std::move(map), Item{});
        ++level;
        continue;
      }
      value = builder.map_finish(map);
    } else {
      auto array = builder.array_begin(count, presize);
      if (count != 0) {
        top = open.push(false, false, count, count, std::move(array), typename Builder::MapState{}, Item{});
        ++level;
        continue;
      }
      value = builder.array_finish(array, 0);
    }
  complete:
    // ---- hand the value to the innermost open container, closing those it fills
    for (;;) {
      if (top == nullptr) {
        source = reader;
        return value;
      }
      if (!top->is_map) {
        builder.array_push(top->array, std::move(value));
        if (--top->left != 0) break;
        value = builder.array_finish(top->array, top->count);
      } else if (!top->has_key) {
        top->key = std::move(value);
        top->has_key = true;
        break;
      } else {
        top->has_key = false;
        builder.map_insert(top->map, std::move(top->key), std::move(value));
        if (--top->left != 0) break;
        value = builder.map_finish(top->map);
      }
      top = open.pop();
      --level;
    }
  }
}

// Moves the cursor past one value without building anything. Malformed input
// throws as read_value does; so do extension types, which the codec refuses.
// Nesting costs no native stack (a count of values still to skip), and no depth
// limit applies: nothing is built, so no depth can cost memory.
void skip_value(Reader& reader);

// The string a str marker at the cursor holds (the cursor moves past it), or
// nullopt with the cursor unmoved when the next value is not a str.
std::optional<std::string_view> read_str(Reader& reader);

// Tests and fuzzers only (the binding builds Python objects with its own builder).
// One value from the start of `data` as a Value tree; the rest of the input is
// ignored. Invalid UTF-8 in a str gives Binary, as for Python. `consumed`, when
// given, receives the number of bytes the value took.
Value decode_value(const char* data, std::size_t size, std::size_t* consumed = nullptr);

}  // namespace tallowmere::msgpack
