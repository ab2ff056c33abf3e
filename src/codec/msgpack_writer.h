// codec/msgpack_writer.h: MessagePack headers and scalars, appended to an OutputBuffer.
// * Every write picks the shortest form for its value: integers >= 0 use the
//   unsigned forms, negative integers the signed ones; floats are always the
//   8-byte form; strings use fixstr/str8/16/32, bytes bin8/16/32 (no shorter
//   form exists for bytes), arrays and maps their fix/16/32 forms.
// * Each header is written together with its payload after a single capacity
//   check. Multi-byte numbers are big-endian.
// * Lengths above 2^32-1 cannot be written; `u32_len` turns them into the
//   length error for the kind of container ("string", "bytes", "list", "dict").
// * `encode_value` writes a Value tree with the same rules (F32 as 0xca, Ext in
//   the fixext/ext forms) and refuses trees nested deeper than kMaxDepth.
// Threads: plain functions over a caller-owned buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/output_buffer.h"
#include "common/value.h"
#include "common/error.h"

namespace tallowmere::msgpack {

// The deepest nesting level the codec writes or reads; the top-level value is 0.
inline constexpr unsigned kMaxDepth = 128;

// The error texts both directions share.
inline constexpr const char* kDepthMessage =
    "value nests deeper than 128 levels (or is self-referential); the tallowmere msgpack codec rejects it to "
    "protect the native stack";
inline constexpr const char* kIntOutOfRangeMessage =
    "integer out of 64-bit range is not supported by the tallowmere codec";
inline constexpr const char* kUnsupportedTypeMessage =
    "unsupported value type for the tallowmere msgpack codec (supported: None, bool, int, float, str, bytes, "
    "list, tuple, dict)";

[[noreturn]] void throw_depth_error();
[[noreturn]] void throw_length_error(const char* kind, std::uint64_t n);

// `n` as a 32-bit length, or the length error naming `kind`.
inline std::uint32_t u32_len(std::uint64_t n, const char* kind) {
  if (n > 0xffffffffu) [[unlikely]]
    throw_length_error(kind, n);
  return static_cast<std::uint32_t>(n);
}

namespace detail {
inline char* put_be16(char* p, std::uint16_t v) noexcept {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v);
  return p + 2;
}
inline char* put_be32(char* p, std::uint32_t v) noexcept {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
  return p + 4;
}
inline char* put_be64(char* p, std::uint64_t v) noexcept {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
  return p + 8;
}

// Copies a short payload without a call into the C library; most map keys and
// many values are a handful of bytes, where a memcpy call costs more than the copy.
inline void copy_payload(char* dst, const char* src, std::uint32_t n) noexcept {
  if (n > 32) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    for (std::uint32_t i = 0; i + 8 < n; i += 8) std::memcpy(dst + i, src + i, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);  // the tail, overlapping what came before
  } else if (n >= 4) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else if (n != 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

// A header for a length-prefixed form: `fix_base` + n when n <= fix_max (fix_max 0
// means the kind has no fixed form), else the 8/16/32-bit marker that holds n.
// Returns the end of what was written; at most 5 bytes.
inline char* put_length_header(char* p, std::uint32_t n, std::uint8_t fix_base, std::uint32_t fix_max,
                               std::uint8_t marker8, std::uint8_t marker16, std::uint8_t marker32) noexcept {
  if (n <= fix_max && fix_max != 0) {
    *p = static_cast<char>(fix_base | n);
    return p + 1;
  }
  if (n <= 0xff && marker8 != 0) {
    p[0] = static_cast<char>(marker8);
    p[1] = static_cast<char>(n);
    return p + 2;
  }
  if (n <= 0xffff) {
    *p = static_cast<char>(marker16);
    return put_be16(p + 1, static_cast<std::uint16_t>(n));
  }
  *p = static_cast<char>(marker32);
  return put_be32(p + 1, n);
}
}  // namespace detail

inline void write_nil(OutputBuffer& out) { out.push_byte(0xc0); }
inline void write_bool(OutputBuffer& out, bool b) { out.push_byte(b ? 0xc3 : 0xc2); }

// 0xcf and all eight bytes: used for 2^63 .. 2^64-1, which no signed form holds.
inline void write_u64(OutputBuffer& out, std::uint64_t v) {
  char* p = out.reserve(9);
  *p = static_cast<char>(0xcf);
  detail::put_be64(p + 1, v);
  out.commit(9);
}

// The shortest form for a non-negative integer.
inline void write_uint(OutputBuffer& out, std::uint64_t v) {
  char* p = out.reserve(9);
  char* end;
  if (v <= 0x7f) {
    *p = static_cast<char>(v);
    end = p + 1;
  } else if (v <= 0xff) {
    p[0] = static_cast<char>(0xcc);
    p[1] = static_cast<char>(v);
    end = p + 2;
  } else if (v <= 0xffff) {
    *p = static_cast<char>(0xcd);
    end = detail::put_be16(p + 1, static_cast<std::uint16_t>(v));
  } else if (v <= 0xffffffffu) {
    *p = static_cast<char>(0xce);
    end = detail::put_be32(p + 1, static_cast<std::uint32_t>(v));
  } else {
    *p = static_cast<char>(0xcf);
    end = detail::put_be64(p + 1, v);
  }
  out.commit(static_cast<std::size_t>(end - p));
}

// The shortest form for any signed 64-bit integer.
inline void write_i64(OutputBuffer& out, std::int64_t v) {
  if (v >= 0) return write_uint(out, static_cast<std::uint64_t>(v));
  char* p = out.reserve(9);
  char* end;
  if (v >= -32) {
    *p = static_cast<char>(static_cast<std::uint8_t>(v));
    end = p + 1;
  } else if (v >= -128) {
    p[0] = static_cast<char>(0xd0);
    p[1] = static_cast<char>(static_cast<std::uint8_t>(v));
    end = p + 2;
  } else if (v >= -32768) {
    *p = static_cast<char>(0xd1);
    end = detail::put_be16(p + 1, static_cast<std::uint16_t>(v));
  } else if (v >= -2147483648LL) {
    *p = static_cast<char>(0xd2);
    end = detail::put_be32(p + 1, static_cast<std::uint32_t>(v));
  } else {
    *p = static_cast<char>(0xd3);
    end = detail::put_be64(p + 1, static_cast<std::uint64_t>(v));
  }
  out.commit(static_cast<std::size_t>(end - p));
}

inline void write_f64(OutputBuffer& out, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, 8);
  char* p = out.reserve(9);
  *p = static_cast<char>(0xcb);
  detail::put_be64(p + 1, bits);
  out.commit(9);
}

inline void write_f32(OutputBuffer& out, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  char* p = out.reserve(5);
  *p = static_cast<char>(0xca);
  detail::put_be32(p + 1, bits);
  out.commit(5);
}

// Header and payload of a str; `utf8.size()` must already be known to fit 32 bits.
inline void write_str(OutputBuffer& out, const char* utf8, std::uint32_t n) {
  char* p = out.reserve(std::size_t{5} + n);
  char* body = detail::put_length_header(p, n, 0xa0, 31, 0xd9, 0xda, 0xdb);
  detail::copy_payload(body, utf8, n);
  out.commit(static_cast<std::size_t>(body - p) + n);
}

inline void write_bin(OutputBuffer& out, const char* bytes, std::uint32_t n) {
  char* p = out.reserve(std::size_t{5} + n);
  char* body = detail::put_length_header(p, n, 0, 0, 0xc4, 0xc5, 0xc6);
  detail::copy_payload(body, bytes, n);
  out.commit(static_cast<std::size_t>(body - p) + n);
}

inline void write_bin_header(OutputBuffer& out, std::uint32_t n) {
  char* p = out.reserve(5);
  out.commit(static_cast<std::size_t>(detail::put_length_header(p, n, 0, 0, 0xc4, 0xc5, 0xc6) - p));
}

inline void write_array_header(OutputBuffer& out, std::uint32_t n) {
  char* p = out.reserve(5);
  out.commit(static_cast<std::size_t>(detail::put_length_header(p, n, 0x90, 15, 0, 0xdc, 0xdd) - p));
}

inline void write_map_header(OutputBuffer& out, std::uint32_t n) {
  char* p = out.reserve(5);
  out.commit(static_cast<std::size_t>(detail::put_length_header(p, n, 0x80, 15, 0, 0xde, 0xdf) - p));
}

// ---- tests and fuzzers only (the Python walk in codec_py.cpp writes directly)

// Header and payload of an extension value: fixext 1/2/4/8/16 where the size
// matches one, else ext8/16/32.
void write_ext(OutputBuffer& out, std::int8_t type, const char* bytes, std::uint32_t n);

// Appends the encoding of a Value tree. Throws CoreError (depth or length error).
void encode_value(OutputBuffer& out, const Value& value);

}  // namespace tallowmere::msgpack
