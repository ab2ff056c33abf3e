// common/siphash.h: SipHash-1-3 (one compression round per 8-byte block, three
// finalisation rounds), 64-bit output, and the per-process random hash seed.
// * siphash13 is a pure function of its keys and bytes; shard placement relies on
//   that (keys 0, 0 give the same shard in every process).
// * process_hash_seed draws 128 bits from the OS CSPRNG once per process, so hash
//   maps seeded with it have an iteration order no input can predict, while every
//   map of the process agrees on hashes (which keeps diffs structural).
// Threads: every function here is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallowmere {

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t len) noexcept;

// which = 0 or 1: the two halves of the 128-bit per-process seed.
std::uint64_t process_hash_seed(int which) noexcept;

// siphash13 keyed with the per-process seed, in one call.
std::uint64_t process_siphash13(const void* data, std::size_t len) noexcept;

// Fills `out` with bytes from the OS CSPRNG (getrandom, then /dev/urandom); false
// when neither answers.
bool fill_os_random(unsigned char* out, std::size_t len) noexcept;

}  // namespace tallowmere
