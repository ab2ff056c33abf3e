#include <doctest/doctest.h>

#include <string>

#include "codec/short_bytes.h"

TEST_CASE("short bytes: equal only when every byte is, at every length and alignment") {
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGH";
  for (std::size_t n = 0; n <= 40; ++n) {
    for (std::size_t offset = 0; offset < 4; ++offset) {  // unaligned starts too
      const std::string a = text.substr(offset, n);
      CHECK(tallowmere::same_short_bytes(a.data(), text.data() + offset, n));
      for (std::size_t i = 0; i < n; ++i) {
        std::string b = a;
        b[i] = static_cast<char>(b[i] ^ 0x80);
        CAPTURE(n);
        CAPTURE(i);
        CHECK_FALSE(tallowmere::same_short_bytes(a.data(), b.data(), n));
      }
    }
  }
}
