#include <doctest/doctest.h>

#include <string>

#include "codec/utf8.h"

TEST_CASE("utf8: accepts exactly the strict forms the interpreter decodes") {
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {"plain ascii, longer than eight bytes", true}, {"\xc3\xa9", true}, {"\xe2\x82\xac", true},
      {"\xf0\x9f\x98\x80", true}, {"\xf4\x8f\xbf\xbf", true} /* U+10FFFF */, {"abcdefghijklmnop\xf0\x9f\x98\x80", true},
      {"\xed\x9f\xbf", true}, {"\xee\x80\x80", true},  // U+D7FF and U+E000, either side of the surrogates
      {"\xed\xa0\x80", false}, {"\xed\xbf\xbf", false},  // U+D800, U+DFFF
      {"\xc0\x80", false}, {"\xc1\xbf", false}, {"\xe0\x9f\xbf", false}, {"\xf0\x8f\xbf\xbf", false},  // overlong
      {"\xf4\x90\x80\x80", false}, {"\xf5\x80\x80\x80", false}, {"\xff", false},  // above U+10FFFF, never lead bytes
      {"\x80", false}, {"\xe2\x28\xa1", false},  // stray and bad continuation
      {"\xc3", false}, {"\xe2\x82", false}, {"\xf0\x9f\x98", false},  // truncated
      {"abcdefgh\xc3\xa9xyz\xff", false},  // an error after an ASCII run
  };
  for (const auto& [bytes, valid] : cases) {
    CAPTURE(bytes);
    CHECK(tallowmere::is_valid_utf8(bytes) == valid);
  }
}
