// common/crc32c.h: CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the
// checksum that frames every record of a snapshot file.
// * On x86-64 CPUs with SSE4.2 the crc32 instruction does the work, eight bytes at
//   a time; elsewhere a slicing-by-8 table does. The choice is made once, at the
//   first call, from the CPU's own report, so one binary runs everywhere and no
//   system library is needed.
// * Both paths give the same value for every input (the tests compare them against
//   the RFC 3720 vectors and against each other).
// * crc32c_extend(crc32c(a), b) == crc32c(a + b), so large payloads are summed as
//   they stream out.
// Threads: pure functions; the tables are built at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallowmere {

std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t size) noexcept;
inline std::uint32_t crc32c(const void* data, std::size_t size) noexcept { return crc32c_extend(0, data, size); }

// The two implementations on their own, for tests and benchmarks. The hardware one
// may be called only when crc32c_has_hardware() is true.
std::uint32_t crc32c_extend_table(std::uint32_t crc, const void* data, std::size_t size) noexcept;
std::uint32_t crc32c_extend_hardware(std::uint32_t crc, const void* data, std::size_t size) noexcept;
bool crc32c_has_hardware() noexcept;

}  // namespace tallowmere
