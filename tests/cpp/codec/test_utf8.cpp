#include <doctest/doctest.h>

#include <string>

#include "codec/utf8.h"

using tallowmere::is_valid_utf8;

TEST_CASE("utf8: accepts exactly the strict forms the interpreter decodes") {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii, longer than eight bytes", true},
      {"\xc3\xa9", true},                      // é
      {"\xe2\x82\xac", true},                  // €
      {"\xf0\x9f\x98\x80", true},              // 😀
      {"\xf4\x8f\xbf\xbf", true},              // U+10FFFF
      {"\xed\x9f\xbf", true},                  // U+D7FF, just below the surrogates
      {"\xee\x80\x80", true},                  // U+E000, just above
      {"\xc0\x80", false},                     // overlong NUL
      {"\xc1\xbf", false},                     // overlong
      {"\xe0\x9f\xbf", false},                 // overlong 3-byte
      {"\xf0\x8f\xbf\xbf", false},             // overlong 4-byte
      {"\xed\xa0\x80", false},                 // U+D800
      {"\xed\xbf\xbf", false},                 // U+DFFF
      {"\xf4\x90\x80\x80", false},             // U+110000
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"\x80", false},                         // stray continuation
      {"\xc3", false},                         // truncated
      {"\xe2\x82", false},
      {"\xf0\x9f\x98", false},
      {"\xe2\x28\xa1", false},                 // bad continuation
      {"abcdefgh\xc3\xa9xyz\xff", false},     // error after an ASCII run
      {"abcdefghijklmnop\xf0\x9f\x98\x80", true},
  };
  for (const Case& c : cases) {
    CAPTURE(c.bytes);
    CHECK(is_valid_utf8(c.bytes) == c.valid);
  }
}
