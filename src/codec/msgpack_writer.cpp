#include "codec/msgpack_writer.h"

namespace tallowmere::msgpack {

void throw_depth_error() { throw CoreError(ErrorKind::Value, kDepthMessage); }

void throw_length_error(const char* kind, std::uint64_t n) {
  throw CoreError(ErrorKind::Value,
                  std::string(kind) + " of " + std::to_string(n) + " items exceeds the 32-bit length msgpack allows");
}

void write_ext(OutputBuffer& out, std::int8_t type, const char* bytes, std::uint32_t n) {
  char* p = out.reserve(std::size_t{6} + n);
  char* body;
  std::uint8_t fixext_marker = 0;
  switch (n) {
    case 1: fixext_marker = 0xd4; break;
    case 2: fixext_marker = 0xd5; break;
    case 4: fixext_marker = 0xd6; break;
    case 8: fixext_marker = 0xd7; break;
    case 16: fixext_marker = 0xd8; break;
    default: break;
  }
  if (fixext_marker != 0) {
    p[0] = static_cast<char>(fixext_marker);
    body = p + 1;
  } else {
    body = detail::put_length_header(p, n, 0, 0, 0xc7, 0xc8, 0xc9);
  }
  *body++ = static_cast<char>(type);
  if (n != 0) std::memcpy(body, bytes, n);
  out.commit(static_cast<std::size_t>(body - p) + n);
}

namespace {

// Recursion is bounded by kMaxDepth, checked on entry like the Python walk.
void encode_at(OutputBuffer& out, const Value& value, unsigned depth) {
  if (depth > kMaxDepth) throw_depth_error();
  switch (value.kind()) {
    case Value::Kind::Nil:
      return write_nil(out);
    case Value::Kind::Boolean:
      return write_bool(out, value.as_bool());
    case Value::Kind::Integer:
      return value.is_negative() ? write_i64(out, value.as_i64()) : write_uint(out, value.as_u64());
    case Value::Kind::F32:
      return write_f32(out, value.as_f32());
    case Value::Kind::F64:
      return write_f64(out, value.as_f64());
    case Value::Kind::String: {
      const std::string& text = value.bytes();
      return write_str(out, text.data(), u32_len(text.size(), "string"));
    }
    case Value::Kind::Binary: {
      const std::string& bytes = value.bytes();
      return write_bin(out, bytes.data(), u32_len(bytes.size(), "bytes"));
    }
    case Value::Kind::Ext: {
      const std::string& bytes = value.bytes();
      return write_ext(out, value.ext_type(), bytes.data(), u32_len(bytes.size(), "bytes"));
    }
    case Value::Kind::Array:
      write_array_header(out, u32_len(value.items().size(), "list"));
      for (const Value& item : value.items()) encode_at(out, item, depth + 1);
      return;
    case Value::Kind::Map:
      write_map_header(out, u32_len(value.pairs().size(), "dict"));
      for (const Value::Pair& pair : value.pairs()) {
        encode_at(out, pair.first, depth + 1);
        encode_at(out, pair.second, depth + 1);
      }
      return;
  }
}

}  // namespace

void encode_value(OutputBuffer& out, const Value& value) { encode_at(out, value, 0); }

}  // namespace tallowmere::msgpack
