#include "common/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <nmmintrin.h>
#define TALLOWMERE_CRC32C_X86 1
#endif

namespace tallowmere {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // reflected Castagnoli

// tables[k][b]: the CRC of byte b followed by k zero bytes, for slicing-by-8.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kPolynomial : 0u);
    tables[0][b] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) {
      const std::uint32_t prev = tables[k - 1][b];
      tables[k][b] = (prev >> 8) ^ tables[0][prev & 0xFFu];
    }
  }
  return tables;
}

constexpr auto kTables = make_tables();

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

#if TALLOWMERE_CRC32C_X86
__attribute__((target("sse4.2"))) std::uint32_t extend_sse42(std::uint32_t crc, const unsigned char* p,
                                                              std::size_t size) noexcept {
  std::uint64_t state = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    state = _mm_crc32_u64(state, word);
  }
  auto narrow = static_cast<std::uint32_t>(state);
  for (; size > 0; --size, ++p) narrow = _mm_crc32_u8(narrow, *p);
  return ~narrow;
}

bool cpu_has_sse42() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") != 0;
}
#endif

using ExtendFn = std::uint32_t (*)(std::uint32_t, const void*, std::size_t) noexcept;

ExtendFn pick_implementation() noexcept {
  return crc32c_has_hardware() ? &crc32c_extend_hardware : &crc32c_extend_table;
}

}  // namespace

std::uint32_t crc32c_extend_table(std::uint32_t crc, const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t state = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    const std::uint64_t word = load_le64(p) ^ state;
    state = kTables[7][word & 0xFF] ^ kTables[6][(word >> 8) & 0xFF] ^ kTables[5][(word >> 16) & 0xFF] ^
            kTables[4][(word >> 24) & 0xFF] ^ kTables[3][(word >> 32) & 0xFF] ^ kTables[2][(word >> 40) & 0xFF] ^
            kTables[1][(word >> 48) & 0xFF] ^ kTables[0][word >> 56];
  }
  for (; size > 0; --size, ++p) state = (state >> 8) ^ kTables[0][(state ^ *p) & 0xFF];
  return ~state;
}

bool crc32c_has_hardware() noexcept {
#if TALLOWMERE_CRC32C_X86
  static const bool has = cpu_has_sse42();
  return has;
#else
  return false;
#endif
}

std::uint32_t crc32c_extend_hardware(std::uint32_t crc, const void* data, std::size_t size) noexcept {
#if TALLOWMERE_CRC32C_X86
  return extend_sse42(crc, static_cast<const unsigned char*>(data), size);
#else
  return crc32c_extend_table(crc, data, size);
#endif
}

std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t size) noexcept {
  static const ExtendFn implementation = pick_implementation();
  return implementation(crc, data, size);
}

}  // namespace tallowmere
