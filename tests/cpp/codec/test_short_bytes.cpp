#include <doctest/doctest.h>

#include <string>

#include "codec/short_bytes.h"

TEST_CASE("short bytes: equal only when every byte is, at every length and alignment") {
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGH";
  for (std::size_t n = 0; n <= 40; ++n) {
    for (std::size_t offset = 0; offset < 4; ++offset) {  // unaligned starts too
      std::string copy = text.substr(offset, n);
      CHECK(tallowmere::same_short_bytes(copy.data(), text.data() + offset, n));
      for (std::size_t i = 0; i < n; ++i) {
        copy[i] = static_cast<char>(copy[i] ^ 0x80);
        CHECK_MESSAGE(!tallowmere::same_short_bytes(copy.data(), text.data() + offset, n), "n=", n, " i=", i);
        copy[i] = static_cast<char>(copy[i] ^ 0x80);
      }
    }
  }
}
