#include "codec/msgpack_reader.h"

#include <algorithm>
#include <string>

#include "codec/utf8.h"

namespace tallowmere::msgpack {

void malformed(const char* message) {
  throw CoreError(ErrorKind::Value, std::string("msgpack decode error: ") + message);
}

void throw_extension_error() {
  throw CoreError(ErrorKind::Value, "msgpack extension types are not supported by the tallowmere codec");
}

namespace {

// Builds Value trees; each container is a vector owned by the state, so an
// exception anywhere releases everything built so far.
struct ValueBuilder {
  using Item = Value;
  using ArrayState = Value::Array;
  using MapState = Value::Map;
  // Past the reader's budget, vectors grow with the data that arrives: reserving
  // from such a count would let nested headers multiply memory level after level.
  static constexpr std::uint64_t kFirstReserve = 8;
  static std::size_t reserve_for(std::uint64_t n, bool presize) {
    return static_cast<std::size_t>(presize ? n : std::min(n, kFirstReserve));
  }

  Item nil() { return Value::nil(); }
  Item boolean(bool b) { return Value::boolean(b); }
  Item uint(std::uint64_t u) { return Value::from_u64(u); }
  Item sint(std::int64_t i) { return Value::from_i64(i); }
  Item fixint(int i) { return Value::from_i64(i); }
  Item f32(float f) { return Value::f32(f); }
  Item f64(double d) { return Value::f64(d); }
  Item str(std::string_view bytes) {
    std::string copy(bytes);
    return is_valid_utf8(bytes) ? Value::string(std::move(copy)) : Value::binary(std::move(copy));
  }
  Item map_key_str(std::string_view bytes) { return str(bytes); }
  Item bin(std::string_view bytes) { return Value::binary(std::string(bytes)); }

  ArrayState array_begin(std::uint64_t n, bool presize) {
    ArrayState items;
    items.reserve(reserve_for(n, presize));
    return items;
  }
  void array_push(ArrayState& items, Item&& item) { items.push_back(std::move(item)); }
  Item array_finish(ArrayState& items, std::uint64_t) { return Value::array(std::move(items)); }

  MapState map_begin(std::uint64_t n, bool presize) {
    MapState pairs;
    pairs.reserve(reserve_for(n, presize));
    return pairs;
  }
  void map_insert(MapState& pairs, Item&& key, Item&& value) { pairs.emplace_back(std::move(key), std::move(value)); }
  Item map_finish(MapState& pairs) { return Value::map(std::move(pairs)); }
};

}  // namespace

void skip_value(Reader& reader) {
  std::uint64_t left = 1;  // values still to skip; each needs at least one byte
  while (left != 0) {
    if (left > reader.remaining()) malformed("unexpected end of input");
    --left;
    const std::uint8_t marker = reader.byte();
    switch (marker) {
      case 0x00 ... 0x7f:
      case 0xe0 ... 0xff:
      case 0xc0:
      case 0xc2:
      case 0xc3:
        break;
      case 0xa0 ... 0xbf: reader.take(marker & 0x1f); break;
      case 0x80 ... 0x8f: left += 2 * std::uint64_t{marker & 0x0fu}; break;
      case 0x90 ... 0x9f: left += marker & 0x0f; break;
      case 0xc1: malformed("reserved marker 0xc1");
      case 0xc4:
      case 0xd9: reader.take(reader.be<1>()); break;
      case 0xc5:
      case 0xda: reader.take(reader.be<2>()); break;
      case 0xc6:
      case 0xdb: reader.take(reader.be<4>()); break;
      case 0xca: reader.take(4); break;
      case 0xcb: reader.take(8); break;
      case 0xcc:
      case 0xd0: reader.take(1); break;
      case 0xcd:
      case 0xd1: reader.take(2); break;
      case 0xce:
      case 0xd2: reader.take(4); break;
      case 0xcf:
      case 0xd3: reader.take(8); break;
      case 0xdc: left += reader.be<2>(); break;
      case 0xdd: left += reader.be<4>(); break;
      case 0xde: left += 2 * reader.be<2>(); break;
      case 0xdf: left += 2 * reader.be<4>(); break;
      default: throw_extension_error();
    }
  }
}

std::optional<std::string_view> read_str(Reader& reader) {
  const std::uint8_t marker = reader.peek();
  std::uint64_t length;
  if (marker >= 0xa0 && marker <= 0xbf) {
    reader.byte();
    length = marker & 0x1f;
  } else if (marker >= 0xd9 && marker <= 0xdb) {
    reader.byte();
    length = reader.len_of(1u << (marker - 0xd9));
  } else {
    return std::nullopt;
  }
  return reader.take(length);
}

Value decode_value(const char* data, std::size_t size, std::size_t* consumed) {
  Reader reader(data, size);
  ValueBuilder builder;
  Value value = read_value(reader, builder, 0);
  if (consumed != nullptr) *consumed = static_cast<std::size_t>(reader.position());
  return value;
}

}  // namespace tallowmere::msgpack
