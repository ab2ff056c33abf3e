// The decoder into Values: forms whose width or sign a reader can get wrong, repeated
// keys, nesting both ways, declared counts with no data behind them, cursor bounds.
// (Truncation at every byte and round trips of random trees run in the Python suite.)
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

TEST_CASE("reader: less common forms, and malformed input") {
  // A map keeps repeated keys as separate pairs (the binding decides which wins).
  CHECK(decode("\x82\x01\x02\x01\x03") ==
        Value::map({{Value::from_u64(1), Value::from_u64(2)}, {Value::from_u64(1), Value::from_u64(3)}}));
  CHECK(decode("\xd9\x02hi") == Value::string("hi"));
  CHECK(decode(std::string("\xc5\x00\x01x", 4)) == Value::binary("x"));
  CHECK(decode(std::string("\xd1\xff\xfe", 3)) == Value::from_i64(-2));  // int16 is sign-extended
  CHECK(decode(std::string("\xde\x00\x01\x01\xa0", 5)) == Value::map({{Value::from_u64(1), Value::string("")}}));
  std::size_t consumed = 0;
  CHECK(decode_value("\x01\x02\x03", 3, &consumed) == Value::from_u64(1));
  CHECK(consumed == 1);

  const std::pair<std::string, std::string> refused[] = {
      {"", kEnd}, {"\xcd\x01", kEnd}, {"\x92\x01", kEnd}, {"\xa3" "ab", kEnd}, {"\xc1", kReserved}, {"\x92\x01\xc1", kReserved},
      // The first error in reading order wins, even inside a huge declared array.
      {"\xdd\xff\xff\xff\xff\x01\xc1", kReserved},
  };
  for (const auto& [data, message] : refused) CHECK(error_of(data) == message);
  for (char marker : {'\xc7', '\xc8', '\xc9', '\xd4', '\xd5', '\xd6', '\xd7', '\xd8'}) {
    CAPTURE(int(static_cast<unsigned char>(marker)));
    CHECK(error_of(std::string{marker, '\x01', '\x00'}) == kExt);
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
