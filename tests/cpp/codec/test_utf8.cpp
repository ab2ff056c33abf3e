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
    for (const std::string& text : {bytes, bytes + "tail"}) {  // each sequence at the end and with bytes after it
      CAPTURE(text);
      CHECK(tallowmere::is_valid_utf8(text) == valid);
      std::u32string out(text.size(), U'\0');
      CHECK((tallowmere::decode_utf8(text, out.data()) >= 0) == valid);  // the decoder agrees on every case
    }
  }
}

TEST_CASE("utf8: decoding gives the code points of every sequence length, after and between ASCII runs") {
  const std::pair<std::string, std::u32string> cases[] = {
      {"", U""}, {"abcdefghij", U"abcdefghij"}, {"\x7f\xc2\x80\xdf\xbf", U"\u007f\u0080\u07ff"},
      {"\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", U"\u0800\ud7ff\ue000\uffff"},
      {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", U"\U00010000\U0010ffff"},
      {"12345678\xc3\xa9" "abcdefgh\xe6\x97\xa5" "z", U"12345678\u00e9abcdefgh\u65e5z"},
  };
  for (const auto& [bytes, expected] : cases) {
    CAPTURE(bytes);
    std::u32string out(bytes.size(), U'\0');
    const std::ptrdiff_t count = tallowmere::decode_utf8(bytes, out.data());
    REQUIRE(count >= 0);
    out.resize(static_cast<std::size_t>(count));
    CHECK(out == expected);
  }
}
