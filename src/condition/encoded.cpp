#include "condition/encoded.h"

#include <optional>
#include <vector>

#include "codec/msgpack_reader.h"
#include "common/error.h"
#include "condition/evaluator.h"

namespace tallowmere::condition {

namespace {

// The value at `path` inside the encoded value `bytes`, decoded, or Nil: what
// descend() finds in the whole tree (each step needs a map and takes its first pair
// with an equal str key; a str key equal to a segment is valid UTF-8, as a String
// key must be), reading past everything off the path instead of building it.
Value encoded_at(std::string_view bytes, const Path& path) {
  msgpack::Reader reader(bytes.data(), bytes.size());
  for (const std::string& segment : path) {
    const std::uint8_t marker = reader.peek();
    std::uint64_t pairs;
    if (marker >= 0x80 && marker <= 0x8f) {
      reader.byte();
      pairs = marker & 0x0f;
    } else if (marker == 0xde || marker == 0xdf) {
      reader.byte();
      pairs = reader.len_of(marker == 0xde ? 2 : 4);
    } else {
      return Value::nil();
    }
    bool found = false;
    for (; pairs != 0 && !found; --pairs) {
      const std::optional<std::string_view> key = msgpack::read_str(reader);
      if (!key) msgpack::skip_value(reader);
      if (key && *key == segment) {
        found = true;
      } else {
        msgpack::skip_value(reader);
      }
    }
    if (!found) return Value::nil();
  }
  const auto at = static_cast<std::size_t>(reader.position());
  return msgpack::decode_value(bytes.data() + at, bytes.size() - at);
}

}  // namespace

bool holds_encoded(const Expr& expr, std::string_view msgpack) {
  // Each path of the condition is its own slot, holding the value at the whole path.
  const std::size_t count = expr.path_count();
  std::vector<Value> slots(count);
  std::vector<PathBinding> bindings(count);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      slots[i] = encoded_at(msgpack, expr.path_at(i));
      bindings[i] = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(expr.path_at(i).size())};
    }
  } catch (const CoreError&) {
    return false;
  }
  return holds_in_slots(expr, bindings.data(), slots.data());
}

}  // namespace tallowmere::condition
