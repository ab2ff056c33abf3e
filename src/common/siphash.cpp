#include "common/siphash.h"

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace tallowmere {
namespace {

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = __builtin_bswap64(word);
  }
  return word;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  }
  void compress(std::uint64_t block) noexcept {
    v3 ^= block;
    round();
    v0 ^= block;
  }
};

// Calls `read(dest, wanted)` until `out[filled..len)` is full, retrying on EINTR;
// returns how far it got before an error or end of data.
template <class Read>
std::size_t fill_retrying(unsigned char* out, std::size_t filled, std::size_t len, Read read) noexcept {
  while (filled < len) {
    ssize_t got = read(out + filled, len - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return filled;
}

// Fills `out` from getrandom, falling back to /dev/urandom; false if neither works.
bool read_os_random(unsigned char* out, std::size_t len) noexcept {
  std::size_t filled =
      fill_retrying(out, 0, len, [](unsigned char* dest, std::size_t wanted) { return getrandom(dest, wanted, 0); });
  if (filled == len) return true;
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  filled = fill_retrying(out, filled, len,
                         [fd](unsigned char* dest, std::size_t wanted) { return ::read(fd, dest, wanted); });
  ::close(fd);
  return filled == len;
}

struct ProcessSeed {
  std::uint64_t halves[2];

  ProcessSeed() noexcept {
    unsigned char bytes[16];
    if (read_os_random(bytes, sizeof bytes)) {
      halves[0] = load_le64(bytes);
      halves[1] = load_le64(bytes + 8);
      return;
    }
    // No OS randomness (a sandbox without getrandom or /dev): still vary per run
    // so iteration order stays unpredictable in practice.
    auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    auto here = reinterpret_cast<std::uintptr_t>(this);
    halves[0] = siphash13(now, here, &now, sizeof now);
    halves[1] = siphash13(here, now, &here, sizeof here);
  }
};

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t len) noexcept {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t whole_blocks_end = len & ~std::size_t{7};
  for (std::size_t at = 0; at < whole_blocks_end; at += 8) {
    s.compress(load_le64(bytes + at));
  }
  // Last block: the 0-7 trailing bytes, little-endian, with len mod 256 in the top byte.
  std::uint64_t last = static_cast<std::uint64_t>(len & 0xff) << 56;
  for (std::size_t i = 0; i < (len & 7); ++i) {
    last |= static_cast<std::uint64_t>(bytes[whole_blocks_end + i]) << (8 * i);
  }
  s.compress(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

namespace {
const ProcessSeed& process_seed() noexcept {
  static const ProcessSeed seed;  // drawn once; C++ guarantees thread-safe initialisation
  return seed;
}
}  // namespace

bool fill_os_random(unsigned char* out, std::size_t len) noexcept { return read_os_random(out, len); }

std::uint64_t process_hash_seed(int which) noexcept { return process_seed().halves[which & 1]; }

std::uint64_t process_siphash13(const void* data, std::size_t len) noexcept {
  const ProcessSeed& seed = process_seed();
  return siphash13(seed.halves[0], seed.halves[1], data, len);
}

}  // namespace tallowmere
