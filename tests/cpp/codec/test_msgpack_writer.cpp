#include <doctest/doctest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "codec/msgpack_writer.h"
#include "common/fault.h"

using namespace tallowmere;
using namespace tallowmere::msgpack;

namespace {

std::string hex(const OutputBuffer& out) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    auto b = static_cast<unsigned char>(out.data()[i]);
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

template <class Write>
std::string written(Write&& write) {
  OutputBuffer out;
  write(out);
  return hex(out);
}

}  // namespace

TEST_CASE("writer: every integer width boundary takes the shortest form") {
  struct Case {
    std::int64_t value;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {127, "7f"},
      {128, "cc80"},
      {255, "ccff"},
      {256, "cd0100"},
      {65535, "cdffff"},
      {65536, "ce00010000"},
      {4294967295LL, "ceffffffff"},
      {4294967296LL, "cf0000000100000000"},
      {std::numeric_limits<std::int64_t>::max(), "cf7fffffffffffffff"},
      {-1, "ff"},
      {-32, "e0"},
      {-33, "d0df"},
      {-128, "d080"},
      {-129, "d1ff7f"},
      {-32768, "d18000"},
      {-32769, "d2ffff7fff"},
      {-2147483648LL, "d280000000"},
      {-2147483649LL, "d3ffffffff7fffffff"},
      {std::numeric_limits<std::int64_t>::min(), "d38000000000000000"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.value);
    CHECK(written([&](OutputBuffer& out) { write_i64(out, c.value); }) == c.bytes);
  }
  CHECK(written([](OutputBuffer& out) { write_u64(out, std::uint64_t{1} << 63); }) == "cf8000000000000000");
  CHECK(written([](OutputBuffer& out) { write_u64(out, UINT64_MAX); }) == "cfffffffffffffffff");
  CHECK(written([](OutputBuffer& out) { write_uint(out, UINT64_MAX); }) == "cfffffffffffffffff");
}

TEST_CASE("writer: length headers switch form exactly at their limits") {
  struct Case {
    std::uint32_t n;
    const char* str;
    const char* bin;
    const char* array;
    const char* map;
  };
  const Case cases[] = {
      {0, "a0", "c400", "90", "80"},
      {15, "af", "c40f", "9f", "8f"},
      {16, "b0", "c410", "dc0010", "de0010"},
      {31, "bf", "c41f", "dc001f", "de001f"},
      {32, "d920", "c420", "dc0020", "de0020"},
      {255, "d9ff", "c4ff", "dc00ff", "de00ff"},
      {256, "da0100", "c50100", "dc0100", "de0100"},
      {65535, "daffff", "c5ffff", "dcffff", "deffff"},
      {65536, "db00010000", "c600010000", "dd00010000", "df00010000"},
      {0xffffffffu, "dbffffffff", "c6ffffffff", "ddffffffff", "dfffffffff"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.n);
    CHECK(written([&](OutputBuffer& out) { write_array_header(out, c.n); }) == c.array);
    CHECK(written([&](OutputBuffer& out) { write_map_header(out, c.n); }) == c.map);
    CHECK(written([&](OutputBuffer& out) { write_bin_header(out, c.n); }) == c.bin);
    if (c.n <= 65536) {  // write_str carries its payload; keep the big cases header-only
      std::string payload(c.n, 'x');
      std::string text = written([&](OutputBuffer& out) { write_str(out, payload.data(), c.n); });
      CHECK(text.substr(0, std::string(c.str).size()) == c.str);
      CHECK(text.size() == std::string(c.str).size() + 2 * c.n);
      std::string bin = written([&](OutputBuffer& out) { write_bin(out, payload.data(), c.n); });
      CHECK(bin.substr(0, std::string(c.bin).size()) == c.bin);
    }
  }
}

TEST_CASE("writer: floats keep their IEEE bits") {
  CHECK(written([](OutputBuffer& out) { write_f64(out, 1.0); }) == "cb3ff0000000000000");
  CHECK(written([](OutputBuffer& out) { write_f64(out, -0.0); }) == "cb8000000000000000");
  CHECK(written([](OutputBuffer& out) { write_f64(out, std::numeric_limits<double>::infinity()); }) ==
        "cb7ff0000000000000");
  CHECK(written([](OutputBuffer& out) { write_f32(out, 1.5f); }) == "ca3fc00000");
}

TEST_CASE("writer: lengths beyond 32 bits give the length error naming the kind") {
  CHECK(u32_len(0xffffffffu, "list") == 0xffffffffu);
  for (const char* kind : {"string", "bytes", "list", "dict"}) {
    try {
      u32_len(std::uint64_t{1} << 32, kind);
      FAIL("no error");
    } catch (const CoreError& e) {
      CHECK(e.kind() == ErrorKind::Value);
      CHECK(std::string(e.what()) == std::string(kind) + " of 4294967296 items exceeds the 32-bit length msgpack allows");
    }
  }
}

TEST_CASE("writer: extension values use fixext where the size matches") {
  const char payload[17] = "0123456789abcdef";
  CHECK(written([&](OutputBuffer& out) { write_ext(out, 5, payload, 1); }) == "d40530");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, -1, payload, 16); }).substr(0, 4) == "d8ff");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, 7, payload, 3); }) == "c70307303132");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, 7, payload, 0); }) == "c70007");
}

TEST_CASE("output buffer: first allocation is 64 bytes, growth keeps contents, truncate drops a tail") {
  OutputBuffer out;
  CHECK(out.capacity() == 0);
  out.push_byte(1);
  CHECK(out.capacity() == 64);
  std::vector<char> big(1000, 'z');
  out.append(big.data(), big.size());
  CHECK(out.size() == 1001);
  CHECK(out.data()[0] == 1);
  CHECK(out.data()[1000] == 'z');
  out.truncate(1);
  CHECK(out.size() == 1);
  out.truncate(5);  // never grows
  CHECK(out.size() == 1);
  OutputBuffer moved(std::move(out));
  CHECK(moved.size() == 1);
  CHECK(out.size() == 0);
}

TEST_CASE("encode_value: depth 128 is written, 129 is refused") {
  auto nested = [](unsigned levels) {
    Value v = Value::from_u64(1);
    for (unsigned i = 0; i < levels; ++i) v = Value::array({std::move(v)});
    return v;
  };
  OutputBuffer out;
  encode_value(out, nested(128));
  CHECK(out.size() == 129);
  OutputBuffer refused;
  try {
    encode_value(refused, nested(129));
    FAIL("no error");
  } catch (const CoreError& e) {
    CHECK(std::string(e.what()) == kDepthMessage);
  }
}

TEST_CASE("output buffer: a failed growth throws and keeps what was written") {
  if (!tallowmere::fault::kEnabled) return;  // needs -DTALLOWMERE_FAULT_INJECTION=ON
  OutputBuffer out;
  write_str(out, "abc", 3);
  tallowmere::fault::arm(1);
  std::string big(1000, 'q');
  CHECK_THROWS_AS(write_bin(out, big.data(), 1000), std::bad_alloc);
  tallowmere::fault::disarm();
  CHECK(hex(out) == "a3616263");
  write_bin(out, big.data(), 1000);
  CHECK(out.size() == 4 + 3 + 1000);
}
