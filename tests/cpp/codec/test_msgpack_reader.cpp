// The decoder into Values: every standard form, each width at its extremes and both
// signs, repeated keys, truncation at every byte, nesting both ways, declared counts
// with no data behind them, cursor bounds.
#include <doctest/doctest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "codec/msgpack_reader.h"
#include "codec/msgpack_writer.h"

using namespace tallowmere;
using namespace tallowmere::msgpack;

// Counts every byte requested through operator new, so tests can bound what a decode allocates.
// GCC 12 pairs the inlined replacement new with std::free below and warns of a mismatch that
// is not there: both sides are these replacements, built on malloc and free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<std::size_t> bytes_requested{0};
}
void* operator new(std::size_t size) {
  bytes_requested += size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

Value decode(const std::string& data) { return decode_value(data.data(), data.size()); }

std::string from_hex(std::string_view hex) {  // spaces ignored
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    if (hex[i] != ' ') bytes += static_cast<char>(std::stoi(std::string(hex.substr(i++, 2)), nullptr, 16));
  }
  return bytes;
}

std::string error_of(const std::string& data) {
  try {
    decode(data);
  } catch (const CoreError& e) {
    CHECK(e.kind() == ErrorKind::Value);
    return e.what();
  }
  return "<no error>";
}

std::string encoded(const Value& v) {
  OutputBuffer out;
  encode_value(out, v);
  return std::string(out.data(), out.size());
}

const std::string kEnd = "msgpack decode error: unexpected end of input";
const std::string kReserved = "msgpack decode error: reserved marker 0xc1";
const std::string kExt = "msgpack extension types are not supported by the tallowmere codec";

}  // namespace

TEST_CASE("reader: every standard form, and malformed input") {
  const Value one = Value::from_u64(1), nil = Value::nil();
  const std::pair<const char*, Value> forms[] = {
      {"00", Value::from_u64(0)}, {"7f", Value::from_u64(127)}, {"e0", Value::from_i64(-32)}, {"ff", Value::from_i64(-1)},
      {"cc ff", Value::from_u64(255)}, {"cd ffff", Value::from_u64(65535)}, {"ce ffffffff", Value::from_u64(4294967295)},
      {"cf ffffffffffffffff", Value::from_u64(UINT64_MAX)}, {"d0 80", Value::from_i64(-128)}, {"d0 05", Value::from_u64(5)},
      {"d1 8000", Value::from_i64(-32768)}, {"d1 fffe", Value::from_i64(-2)}, {"d2 80000000", Value::from_i64(INT32_MIN)},
      {"d2 7fffffff", Value::from_u64(INT32_MAX)}, {"d3 8000000000000000", Value::from_i64(INT64_MIN)},
      {"d3 7fffffffffffffff", Value::from_u64(INT64_MAX)}, {"c0", nil}, {"c2", Value::boolean(false)},
      {"c3", Value::boolean(true)}, {"ca 3fc00000", Value::f32(1.5f)}, {"cb 3ff8000000000000", Value::f64(1.5)},
      {"a2 6869", Value::string("hi")}, {"d9 02 6869", Value::string("hi")}, {"da 0002 6869", Value::string("hi")},
      {"db 00000002 6869", Value::string("hi")}, {"a2 fffe", Value::binary("\xff\xfe")} /* not UTF-8: bytes */,
      {"c4 00", Value::binary("")}, {"c5 0001 78", Value::binary("x")}, {"c6 00000001 78", Value::binary("x")},
      {"90", Value::array()}, {"dc 0001 c0", Value::array({nil})}, {"dd 00000002 c0 01", Value::array({nil, one})},
      {"80", Value::map()}, {"de 0001 01 a0", Value::map({{one, Value::string("")}})}, {"df 00000000", Value::map()},
      // A map keeps repeated keys as separate pairs (the binding decides which wins).
      {"82 01 02 01 03", Value::map({{one, Value::from_u64(2)}, {one, Value::from_u64(3)}})},
  };
  for (const auto& [hex, value] : forms) CHECK_MESSAGE(decode(from_hex(hex)) == value, hex);
  std::size_t consumed = 0;
  CHECK(decode_value("\x01\x02\x03", 3, &consumed) == one);
  CHECK(consumed == 1);

  // Every proper prefix of a value holding every form ends early.
  Value::Map rich;
  for (const auto& [hex, value] : forms) rich.emplace_back(Value::string(hex), value);
  rich.emplace_back(Value::string(std::string(300, 'k')), Value::binary(std::string(70000, 'b')));
  const std::string whole = encoded(Value::map(std::move(rich)));
  for (std::size_t cut = 0; cut < whole.size(); cut += cut < 400 || whole.size() - cut < 400 ? 1 : 997) {
    CHECK_MESSAGE(error_of(whole.substr(0, cut)) == kEnd, "cut at ", cut);
  }

  const std::pair<std::string, std::string> refused[] = {
      {"", kEnd}, {"\xcd\x01", kEnd}, {"\x92\x01", kEnd}, {"\xa3" "ab", kEnd}, {"\xc1", kReserved}, {"\x92\x01\xc1", kReserved},
      // The first error in reading order wins, even inside a huge declared array.
      {"\xdd\xff\xff\xff\xff\x01\xc1", kReserved},
  };
  for (const auto& [data, message] : refused) CHECK(error_of(data) == message);
  for (char marker : {'\xc7', '\xc8', '\xc9', '\xd4', '\xd5', '\xd6', '\xd7', '\xd8'}) {
    CHECK_MESSAGE(error_of(std::string{marker, '\x01', '\x00'}) == kExt, "marker ", marker & 0xff);
  }
}

TEST_CASE("codec: nesting 128 deep is read and written, 129 is refused both ways") {
  std::string ok(128, '\x91');
  CHECK(decode(ok + '\x01').kind() == Value::Kind::Array);
  CHECK(error_of(std::string(129, '\x91') + '\x01') == kDepthMessage);
  // Refused before reading the marker: a missing innermost value still reports depth.
  CHECK(error_of(std::string(129, '\x91')) == kDepthMessage);
  CHECK(error_of(ok + "\x81\xa1k\x01") == kDepthMessage);  // map keys and values count one level deeper
  CHECK(error_of(std::string(1'000'000, '\x91')) == kDepthMessage);

  auto nested = [](unsigned levels) {
    Value v = Value::from_u64(1);
    for (unsigned i = 0; i < levels; ++i) v = Value::array({std::move(v)});
    return v;
  };
  CHECK(encoded(nested(128)).size() == 129);
  try {
    encoded(nested(129));
    FAIL("no error");
  } catch (const CoreError& e) {
    CHECK(std::string(e.what()) == kDepthMessage);
  }
}

TEST_CASE("reader: declared counts allocate nothing ahead of the data") {
  auto allocated_while = [](const std::string& data) {
    const std::size_t before = bytes_requested.load();
    (void)error_of(data);
    return bytes_requested.load() - before;
  };
  for (const char* header : {"\xdd", "\xdf", "\xdb"}) CHECK(allocated_while(header + std::string(4, '\xff')) < 4096);
  std::string chained;
  for (int i = 0; i < 128; ++i) chained += "\xdc\xff\xff";
  CHECK(allocated_while(chained) < 128 * 4096);
  // Each count fits the input; together they declare 120 times what is there.
  std::string fitting;
  for (int i = 0; i < 120; ++i) fitting += "\xdc\x4e\x20";
  fitting += std::string(20000, '\xc0');
  CHECK(allocated_while(fitting) < 8 * sizeof(Value) * fitting.size());
}

TEST_CASE("reader: a cursor never moves past the end or wraps") {
  const std::string data = "abc";
  Reader reader(data.data(), data.size());
  CHECK(reader.take(2) == "ab");
  CHECK_THROWS_AS(reader.take(2), CoreError);
  CHECK(reader.position() == 2);
  try {
    reader.take(UINT64_MAX);
    FAIL("no error");
  } catch (const CoreError& e) {
    CHECK(std::string(e.what()) == "msgpack decode error: length overflow");
  }
  CHECK(reader.byte() == 'c');
  CHECK_THROWS_AS(reader.byte(), CoreError);
  CHECK_THROWS_AS(reader.len_of(1), CoreError);
}
