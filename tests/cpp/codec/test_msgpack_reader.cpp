#include <doctest/doctest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "codec/msgpack_reader.h"
#include "codec/msgpack_writer.h"

using namespace tallowmere;
using namespace tallowmere::msgpack;

// Counts every byte requested through operator new, so tests can bound what a
// decode allocates.
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

std::string bytes_of(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

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
const std::string kExt = "msgpack extension types are not supported by the tallowmere codec";

// A random tree of every kind the decoder produces, up to `depth` levels.
Value random_value(std::mt19937_64& rng, int depth) {
  auto pick = rng() % (depth > 0 ? 10 : 7);
  auto text = [&] {
    std::string s(rng() % 40, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
  };
  switch (pick) {
    case 0: return Value::nil();
    case 1: return Value::boolean(rng() & 1);
    case 2: return Value::from_u64(rng() >> (rng() % 64));
    case 3: return Value::from_i64(-static_cast<std::int64_t>(rng() >> (1 + rng() % 63)) - 1);
    case 4: return Value::f64(static_cast<double>(rng()) / 7.0);
    case 5: return Value::string(text());
    case 6: return Value::binary(text());
    case 7: return Value::f32(static_cast<float>(rng() % 1000) / 8.0f);
    case 8: {
      Value::Array items;
      for (auto n = rng() % 20; n > 0; --n) items.push_back(random_value(rng, depth - 1));
      return Value::array(std::move(items));
    }
    default: {
      Value::Map pairs;
      for (auto n = rng() % 20; n > 0; --n) pairs.emplace_back(random_value(rng, depth - 1), random_value(rng, depth - 1));
      return Value::map(std::move(pairs));
    }
  }
}

}  // namespace

TEST_CASE("reader: decodes every marker family") {
  CHECK(decode(bytes_of({0xc0})) == Value::nil());
  CHECK(decode(bytes_of({0xc3})) == Value::boolean(true));
  CHECK(decode(bytes_of({0xca, 0x3f, 0xc0, 0, 0})) == Value::f32(1.5f));
  CHECK(decode(bytes_of({0xd3, 0, 0, 0, 0, 0, 0, 0, 5})) == Value::from_u64(5));  // non-shortest form
  CHECK(decode(bytes_of({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})) == Value::from_u64(UINT64_MAX));
  CHECK(decode(bytes_of({0xd0, 0x80})) == Value::from_i64(-128));
  CHECK(decode(bytes_of({0xd1, 0xff, 0x7f})) == Value::from_i64(-129));
  CHECK(decode(bytes_of({0xd2, 0x80, 0, 0, 0})) == Value::from_i64(-2147483648LL));
  CHECK(decode(bytes_of({0xe0})) == Value::from_i64(-32));
  CHECK(decode(bytes_of({0xa2, 0xff, 0xfe})) == Value::binary("\xff\xfe"));  // invalid UTF-8 -> bytes
  CHECK(decode(bytes_of({0xd9, 2, 'h', 'i'})) == Value::string("hi"));
  CHECK(decode(bytes_of({0xc5, 0, 1, 'x'})) == Value::binary("x"));
  CHECK(decode(bytes_of({0x82, 0x01, 0x02, 0x01, 0x03})) ==
        Value::map({{Value::from_u64(1), Value::from_u64(2)}, {Value::from_u64(1), Value::from_u64(3)}}));
  CHECK(decode(bytes_of({0xdc, 0, 2, 0x01, 0xc2})) == Value::array({Value::from_u64(1), Value::boolean(false)}));
  std::size_t consumed = 0;
  std::string trailing = bytes_of({0x01, 0x02, 0x03});
  CHECK(decode_value(trailing.data(), trailing.size(), &consumed) == Value::from_u64(1));
  CHECK(consumed == 1);
}

TEST_CASE("reader: malformed input gives the documented message") {
  CHECK(error_of("") == kEnd);
  CHECK(error_of(bytes_of({0xcd, 0x01})) == kEnd);
  CHECK(error_of(bytes_of({0x92, 0x01})) == kEnd);
  CHECK(error_of(bytes_of({0xa3, 'a', 'b'})) == kEnd);
  CHECK(error_of(bytes_of({0xc1})) == "msgpack decode error: reserved marker 0xc1");
  CHECK(error_of(bytes_of({0x92, 0x01, 0xc1})) == "msgpack decode error: reserved marker 0xc1");
  for (int marker : {0xc7, 0xc8, 0xc9, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8}) {
    CAPTURE(marker);
    CHECK(error_of(bytes_of({marker, 0x01, 0x00})) == kExt);
  }
  // The first error in reading order wins, even inside a huge declared array.
  CHECK(error_of(bytes_of({0xdd, 0xff, 0xff, 0xff, 0xff, 0x01, 0xc1})) == "msgpack decode error: reserved marker 0xc1");
}

TEST_CASE("reader: every proper prefix of a valid encoding ends in the end-of-input error") {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 40; ++round) {
    std::string full = encoded(random_value(rng, 2));
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      CAPTURE(cut);
      REQUIRE(error_of(full.substr(0, cut)) == kEnd);
    }
  }
}

TEST_CASE("reader: random trees survive encode then decode") {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 200; ++round) {
    Value original = random_value(rng, 5);
    std::string bytes = encoded(original);
    std::size_t consumed = 0;
    Value back = decode_value(bytes.data(), bytes.size(), &consumed);
    CHECK(consumed == bytes.size());
    // NaN cannot appear (the generator makes none), so equality is exact.
    REQUIRE(back == original);
    CHECK(encoded(back) == bytes);
  }
}

TEST_CASE("reader: nesting 128 deep decodes, 129 is refused before the marker") {
  std::string ok(128, '\x91');
  ok += '\x01';
  CHECK(decode(ok).kind() == Value::Kind::Array);
  std::string deep(129, '\x91');
  deep += '\x01';
  CHECK(error_of(deep) == kDepthMessage);
  // Refused before reading the marker: a missing innermost value still reports depth.
  CHECK(error_of(std::string(129, '\x91')) == kDepthMessage);
  // Map keys and values count one level deeper, like array elements.
  std::string map_deep(128, '\x91');
  map_deep += "\x81\xa1k\x01";
  CHECK(error_of(map_deep) == kDepthMessage);
  std::string endless(1'000'000, '\x91');
  CHECK(error_of(endless) == kDepthMessage);
}

TEST_CASE("reader: declared counts allocate nothing ahead of the data") {
  auto allocated_while = [](const std::string& data) {
    std::size_t before = bytes_requested.load();
    (void)error_of(data);
    return bytes_requested.load() - before;
  };
  CHECK(allocated_while(bytes_of({0xdd, 0xff, 0xff, 0xff, 0xff})) < 4096);
  CHECK(allocated_while(bytes_of({0xdf, 0xff, 0xff, 0xff, 0xff})) < 4096);
  CHECK(allocated_while(bytes_of({0xdb, 0xff, 0xff, 0xff, 0xff})) < 4096);
  std::string chained;
  for (int i = 0; i < 128; ++i) chained += bytes_of({0xdc, 0xff, 0xff});
  CHECK(allocated_while(chained) < 128 * 4096);
}

TEST_CASE("reader: a cursor never moves past the end or wraps") {
  std::string data = "abc";
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
