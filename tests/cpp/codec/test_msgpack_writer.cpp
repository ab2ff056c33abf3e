// The writer byte for byte: integer and header forms at every bound, float32,
// extension values, the length error, the output buffer and its failed growth.
#include <doctest/doctest.h>

#include <cstdint>
#include <cstring>
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
    const auto b = static_cast<unsigned char>(out.data()[i]);
    text += {digits[b >> 4], digits[b & 15]};
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

TEST_CASE("writer: integers take the shortest form, switching exactly at each bound") {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "00"}, {127, "7f"}, {128, "cc80"}, {255, "ccff"}, {256, "cd0100"}, {65535, "cdffff"},
      {65536, "ce00010000"}, {4294967295, "ceffffffff"}, {4294967296, "cf0000000100000000"}, {-1, "ff"},
      {-32, "e0"}, {-33, "d0df"}, {-128, "d080"}, {-129, "d1ff7f"}, {-32768, "d18000"}, {-32769, "d2ffff7fff"},
      {-2147483648LL, "d280000000"}, {-2147483649LL, "d3ffffffff7fffffff"}, {INT64_MAX, "cf7fffffffffffffff"},
      {INT64_MIN, "d38000000000000000"},
  };
  for (const auto& [value, form] : cases) {
    CHECK_MESSAGE(written([&](OutputBuffer& out) { write_i64(out, value); }) == form, value);
  }
  CHECK(written([](OutputBuffer& out) { write_uint(out, UINT64_MAX); }) == "cfffffffffffffffff");
  CHECK(written([](OutputBuffer& out) { write_f64(out, -0.0); }) == "cb8000000000000000");
}

TEST_CASE("writer: headers switch form exactly at their limits, up to 2^32-1") {
  struct Case {
    std::uint32_t n;
    const char *str, *bin, *array, *map;
  };
  const Case cases[] = {
      {0, "a0", "c400", "90", "80"}, {15, "af", "c40f", "9f", "8f"}, {16, "b0", "c410", "dc0010", "de0010"},
      {31, "bf", "c41f", "dc001f", "de001f"}, {32, "d920", "c420", "dc0020", "de0020"},
      {255, "d9ff", "c4ff", "dc00ff", "de00ff"}, {256, "da0100", "c50100", "dc0100", "de0100"},
      {65535, "daffff", "c5ffff", "dcffff", "deffff"}, {65536, "db00010000", "c600010000", "dd00010000", "df00010000"},
      {0xffffffffu, nullptr, "c6ffffffff", "ddffffffff", "dfffffffff"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.n);
    if (c.str != nullptr) {
      const std::string text(c.n, 'x');
      CHECK(written([&](OutputBuffer& out) { write_str(out, text.data(), c.n); }).substr(0, std::strlen(c.str)) == c.str);
    }
    CHECK(written([&](OutputBuffer& out) { write_bin_header(out, c.n); }) == c.bin);
    CHECK(written([&](OutputBuffer& out) { write_array_header(out, c.n); }) == c.array);
    CHECK(written([&](OutputBuffer& out) { write_map_header(out, c.n); }) == c.map);
  }
}

TEST_CASE("writer: float32 and extension values (fixext where the size matches)") {
  const char payload[17] = "0123456789abcdef";
  CHECK(written([](OutputBuffer& out) { write_f32(out, 1.5f); }) == "ca3fc00000");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, 5, payload, 1); }) == "d40530");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, -1, payload, 16); }).substr(0, 4) == "d8ff");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, 7, payload, 3); }) == "c70307303132");
  CHECK(written([&](OutputBuffer& out) { write_ext(out, 7, payload, 0); }) == "c70007");
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

TEST_CASE("output buffer: first allocation is 64 bytes, growth keeps contents, truncate drops a tail") {
  OutputBuffer out;
  CHECK(out.capacity() == 0);
  out.push_byte(1);
  CHECK(out.capacity() == 64);
  std::vector<char> big(1000, 'z');
  out.append(big.data(), big.size());
  CHECK((out.size() == 1001 && out.data()[0] == 1 && out.data()[1000] == 'z'));
  out.truncate(1);
  CHECK(out.size() == 1);
  out.truncate(5);  // never grows
  CHECK(out.size() == 1);
  OutputBuffer moved(std::move(out));
  CHECK((moved.size() == 1 && out.size() == 0));
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

TEST_CASE("output buffer: external pieces splice into the output at their places, per range and whole") {
  // Three values back to back (own ends 2, 4, 7); the first and third carry pieces.
  const std::string a = "AAAA", b = "BB", c = "CCC";
  OutputBuffer out;
  out.append("h1", 2);
  out.append_external(a.data(), a.size());
  out.append("h2", 2);
  out.append("h3", 2);
  out.append_external(b.data(), b.size());
  out.append("t", 1);
  out.append_external(c.data(), c.size());
  auto copied = [&](std::size_t begin, std::size_t end) {
    std::string text(out.output_size(begin, end), '\0');
    out.copy_to(text.data(), begin, end);
    return text;
  };
  CHECK(out.has_external());
  CHECK(out.output_size() == 7 + 9);
  CHECK(copied(0, out.size()) == "h1AAAAh2h3BBtCCC");
  const std::vector<std::pair<std::size_t, std::string>> table = {{2, "h1AAAA"}, {4, "h2"}, {7, "h3BBtCCC"}};
  std::size_t begin = 0;
  for (const auto& [end, expected] : table) {
    CHECK(copied(begin, end) == expected);
    begin = end;
  }
  out.truncate(6);  // a piece at the cut stays with what came before it
  CHECK(copied(0, out.size()) == "h1AAAAh2h3BB");
  out.truncate(5);
  CHECK((copied(0, out.size()) == "h1AAAAh2h" && out.output_size() == 9));
  out.clear();
  CHECK((!out.has_external() && out.output_size() == 0));
  out.append_external(c.data(), c.size());  // a piece before any own byte
  CHECK(copied(0, 0) == "CCC");
}
