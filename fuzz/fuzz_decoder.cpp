// libFuzzer target for the MessagePack reader: decode arbitrary bytes into a
// Value; whatever decodes must encode again and decode to an equal tree, and the
// re-encoding must be a fixed point. Any other outcome than a value or a
// CoreError (crash, sanitizer report, other exception) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec/msgpack_reader.h"
#include "codec/msgpack_writer.h"

namespace {

// NaN never equals itself, so compare NaN-bearing trees through their bytes only.
bool has_nan(const tallowmere::Value& v) {
  using Kind = tallowmere::Value::Kind;
  switch (v.kind()) {
    case Kind::F32: return v.as_f32() != v.as_f32();
    case Kind::F64: return v.as_f64() != v.as_f64();
    case Kind::Array:
      for (const auto& item : v.items()) if (has_nan(item)) return true;
      return false;
    case Kind::Map:
      for (const auto& pair : v.pairs()) if (has_nan(pair.first) || has_nan(pair.second)) return true;
      return false;
    default: return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tallowmere;
  Value first;
  try {
    first = msgpack::decode_value(reinterpret_cast<const char*>(data), size);
  } catch (const CoreError&) {
    return 0;  // malformed input: the documented outcome
  }
  OutputBuffer once;
  msgpack::encode_value(once, first);
  Value second = msgpack::decode_value(once.data(), once.size());
  OutputBuffer twice;
  msgpack::encode_value(twice, second);
  if (once.size() != twice.size() || std::string(once.data(), once.size()) != std::string(twice.data(), twice.size()))
    std::abort();
  if (!has_nan(first) && !(first == second)) std::abort();
  return 0;
}
