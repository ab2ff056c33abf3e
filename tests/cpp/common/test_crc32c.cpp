// CRC-32C against the RFC 3720 (iSCSI) vectors, and the two implementations
// against each other at every length and alignment a slicing loop can get wrong.
#include <doctest/doctest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/crc32c.h"

using namespace tallowmere;

namespace {

using Extend = std::uint32_t (*)(std::uint32_t, const void*, std::size_t) noexcept;

std::vector<std::pair<const char*, Extend>> implementations() {
  std::vector<std::pair<const char*, Extend>> all = {{"table", &crc32c_extend_table}, {"dispatch", &crc32c_extend}};
  if (crc32c_has_hardware()) all.emplace_back("sse4.2", &crc32c_extend_hardware);
  return all;
}

}  // namespace

TEST_CASE("crc32c: RFC 3720 B.4 vectors and the check value, on every implementation") {
  std::array<unsigned char, 32> zeros{}, ones{}, ascending{}, descending{};
  for (unsigned i = 0; i < 32; ++i) {
    ones[i] = 0xFF;
    ascending[i] = static_cast<unsigned char>(i);
    descending[i] = static_cast<unsigned char>(31 - i);
  }
  // An iSCSI SCSI Read (10) command PDU.
  const std::array<unsigned char, 48> read_pdu = {
      0x01, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x18,
      0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const std::string check = "123456789";
  for (const auto& [name, extend] : implementations()) {
    CAPTURE(name);
    CHECK(extend(0, zeros.data(), zeros.size()) == 0x8A9136AAu);
    CHECK(extend(0, ones.data(), ones.size()) == 0x62A8AB43u);
    CHECK(extend(0, ascending.data(), ascending.size()) == 0x46DD794Eu);
    CHECK(extend(0, descending.data(), descending.size()) == 0x113FDB5Cu);
    CHECK(extend(0, read_pdu.data(), read_pdu.size()) == 0xD9963A56u);
    CHECK(extend(0, check.data(), check.size()) == 0xE3069283u);
    CHECK(extend(0, nullptr, 0) == 0u);
  }
}

TEST_CASE("crc32c: implementations agree at every length and offset, and extending equals one pass") {
  std::mt19937 random(7);
  std::vector<unsigned char> bytes(300);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
  for (std::size_t offset = 0; offset < 9; ++offset) {
    for (std::size_t length = 0; offset + length <= bytes.size(); length += 1 + length / 16) {
      INFO("offset ", offset, ", length ", length);
      const std::uint32_t expected = crc32c_extend_table(0, bytes.data() + offset, length);
      for (const auto& [name, extend] : implementations()) CHECK(extend(0, bytes.data() + offset, length) == expected);
      const std::size_t split = length / 3;
      const std::uint32_t head = crc32c(bytes.data() + offset, split);
      CHECK(crc32c_extend(head, bytes.data() + offset + split, length - split) == expected);
    }
  }
}
