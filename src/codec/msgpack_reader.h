// codec/msgpack_reader.h: the MessagePack decode loop, generic over what it builds.
// * `Reader` is a cursor over borrowed bytes; its position only grows, and every
//   read is checked against the end (and against 64-bit overflow) before any byte
//   is touched, so no input can make it read out of bounds.
// * `read_value` reads exactly one value and leaves the cursor after it. It is a
//   template over a Builder, so the same loop makes Python objects (codec_py.cpp)
//   and Value trees (tests, fuzzing). The Builder decides how containers are held;
//   a declared count is never trusted for allocation: builders reserve at most
//   min(count, 1024) slots, so memory follows the bytes actually present.
// * Nesting is checked on entry to every value, before its marker is read, and a
//   value deeper than kMaxDepth is refused: native stack use is bounded by 129
//   frames of this loop whatever the input.
// * Failures are thrown: CoreError(Value) for malformed input, and whatever the
//   Builder throws. Items already built are owned by the Builder's types, so an
//   exception releases them on the way out.
//
// Builder interface (Item must be movable):
//   Item nil(); Item boolean(bool); Item uint(uint64_t); Item sint(int64_t);
//   Item f32(float); Item f64(double); Item str(string_view); Item bin(string_view);
//   Item map_key_str(string_view)              -- a fixstr map key (lets Python cache keys)
//   ArrayState array_begin(uint64_t n, uint64_t bytes_left); void array_push(ArrayState&, Item&&);
//   Item array_finish(ArrayState&, uint64_t n);
//   MapState map_begin(uint64_t n); void map_insert(MapState&, Item&& key, Item&& value);
//   Item map_finish(MapState&);
// Threads: a Reader is used by one thread; the bytes must not change while read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "codec/msgpack_writer.h"
#include "codec/value.h"
#include "common/error.h"

namespace tallowmere::msgpack {

// "msgpack decode error: " followed by `message`, as a ValueError.
[[noreturn]] void malformed(const char* message);
[[noreturn]] void throw_extension_error();

class Reader {
 public:
  Reader(const char* data, std::size_t length) noexcept
      : data_(reinterpret_cast<const unsigned char*>(data)), length_(length) {}

  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t remaining() const noexcept { return length_ - position_; }

  std::uint8_t byte() {
    if (position_ >= length_) [[unlikely]]
      malformed("unexpected end of input");
    return data_[position_++];
  }
  // The next byte without consuming it; only after checking remaining() > 0.
  std::uint8_t peek() const noexcept { return data_[position_]; }

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
    if (n > UINT64_MAX - position_) [[unlikely]]
      malformed("length overflow");
    if (position_ + n > length_) [[unlikely]]
      malformed("unexpected end of input");
    const unsigned char* start = data_ + position_;
    position_ += n;
    return start;
  }

  const unsigned char* data_;
  std::uint64_t length_;
  std::uint64_t position_ = 0;
};

template <class Builder>
typename Builder::Item read_value(Reader& reader, Builder& builder, unsigned depth);

namespace detail {

template <class Builder>
typename Builder::Item read_array(Reader& reader, Builder& builder, std::uint64_t n, unsigned depth) {
  // Every element takes at least one byte: `bytes_left` bounds what can arrive.
  auto state = builder.array_begin(n, reader.remaining());
  for (std::uint64_t i = 0; i < n; ++i) builder.array_push(state, read_value(reader, builder, depth + 1));
  return builder.array_finish(state, n);
}

template <class Builder>
typename Builder::Item read_map(Reader& reader, Builder& builder, std::uint64_t n, unsigned depth) {
  auto state = builder.map_begin(n);
  const unsigned key_depth = depth + 1;
  for (std::uint64_t i = 0; i < n; ++i) {
    // Short string keys (nearly all keys in practice) take the builder's key path;
    // the depth check still comes first, as for any other value.
    auto key = [&]() -> typename Builder::Item {
      if (key_depth <= kMaxDepth && reader.remaining() != 0 && (reader.peek() & 0xe0) == 0xa0) {
        std::uint8_t marker = reader.byte();
        return builder.map_key_str(reader.take(marker & 0x1f));
      }
      return read_value(reader, builder, key_depth);
    }();
    auto value = read_value(reader, builder, key_depth);
    builder.map_insert(state, std::move(key), std::move(value));
  }
  return builder.map_finish(state);
}

}  // namespace detail

template <class Builder>
typename Builder::Item read_value(Reader& reader, Builder& builder, unsigned depth) {
  if (depth > kMaxDepth) [[unlikely]]
    throw_depth_error();
  const std::uint8_t marker = reader.byte();
  if (marker <= 0x7f) return builder.uint(marker);
  if (marker >= 0xe0) return builder.sint(static_cast<std::int8_t>(marker));
  if (marker <= 0x8f) return detail::read_map(reader, builder, marker & 0x0f, depth);
  if (marker <= 0x9f) return detail::read_array(reader, builder, marker & 0x0f, depth);
  if (marker <= 0xbf) return builder.str(reader.take(marker & 0x1f));
  switch (marker) {
    case 0xc0:
      return builder.nil();
    case 0xc1:
      malformed("reserved marker 0xc1");
    case 0xc2:
      return builder.boolean(false);
    case 0xc3:
      return builder.boolean(true);
    case 0xc4:
      return builder.bin(reader.take(reader.be<1>()));
    case 0xc5:
      return builder.bin(reader.take(reader.be<2>()));
    case 0xc6:
      return builder.bin(reader.take(reader.be<4>()));
    case 0xca: {
      std::uint32_t bits = static_cast<std::uint32_t>(reader.be<4>());
      float f;
      std::memcpy(&f, &bits, 4);
      return builder.f32(f);
    }
    case 0xcb: {
      std::uint64_t bits = reader.be<8>();
      double d;
      std::memcpy(&d, &bits, 8);
      return builder.f64(d);
    }
    case 0xcc:
      return builder.uint(reader.be<1>());
    case 0xcd:
      return builder.uint(reader.be<2>());
    case 0xce:
      return builder.uint(reader.be<4>());
    case 0xcf:
      return builder.uint(reader.be<8>());
    case 0xd0:
      return builder.sint(static_cast<std::int8_t>(reader.be<1>()));
    case 0xd1:
      return builder.sint(static_cast<std::int16_t>(reader.be<2>()));
    case 0xd2:
      return builder.sint(static_cast<std::int32_t>(reader.be<4>()));
    case 0xd3:
      return builder.sint(static_cast<std::int64_t>(reader.be<8>()));
    case 0xd9:
      return builder.str(reader.take(reader.be<1>()));
    case 0xda:
      return builder.str(reader.take(reader.be<2>()));
    case 0xdb:
      return builder.str(reader.take(reader.be<4>()));
    case 0xdc:
      return detail::read_array(reader, builder, reader.be<2>(), depth);
    case 0xdd:
      return detail::read_array(reader, builder, reader.be<4>(), depth);
    case 0xde:
      return detail::read_map(reader, builder, reader.be<2>(), depth);
    case 0xdf:
      return detail::read_map(reader, builder, reader.be<4>(), depth);
    default:  // 0xc7..0xc9 and 0xd4..0xd8: extension types
      throw_extension_error();
  }
}

// One value from the start of `data` as a Value tree; the rest of the input is
// ignored. Invalid UTF-8 in a str gives Binary, as for Python. `consumed`, when
// given, receives the number of bytes the value took.
Value decode_value(const char* data, std::size_t size, std::size_t* consumed = nullptr);

}  // namespace tallowmere::msgpack
