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

Value decode_value(const char* data, std::size_t size, std::size_t* consumed) {
  Reader reader(data, size);
  ValueBuilder builder;
  Value value = read_value(reader, builder, 0);
  if (consumed != nullptr) *consumed = static_cast<std::size_t>(reader.position());
  return value;
}

}  // namespace tallowmere::msgpack
