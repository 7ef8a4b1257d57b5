// Tests of the UTF-8 decoder and the encoders beside it, at the edges of
// each sequence length and of the character range. The expected bytes and
// code units are worked out by hand from the bit layouts of UTF-8 and
// UTF-16.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "bytes_test_util.h"
#include "common/text.h"

namespace cellvault {
namespace {

using testing::hex;
using testing::view;
using namespace std::string_view_literals;

TEST(Utf8Test, FirstAndLastCharacterOfEachLength) {
  struct Case {
    std::string_view text;
    char32_t code_point;
  };
  const Case cases[] = {
      {"\x00"sv, 0x0},          {"\x7F", 0x7F},
      {"\xC2\x80", 0x80},       {"\xDF\xBF", 0x7FF},
      {"\xE0\xA0\x80", 0x800},  {"\xED\x9F\xBF", 0xD7FF},
      {"\xEE\x80\x80", 0xE000}, {"\xEF\xBF\xBF", 0xFFFF},
      {"\xF0\x90\x80\x80", 0x10000}, {"\xF4\x8F\xBF\xBF", 0x10FFFF},
  };
  for (const Case& c : cases) {
    const Result<Utf8Char, size_t> got = decode_utf8(c.text, 0);
    ASSERT_TRUE(got.ok()) << hex(view(c.text));
    EXPECT_EQ(got->code_point, c.code_point) << hex(view(c.text));
    EXPECT_EQ(got->len, c.text.size()) << hex(view(c.text));
    EXPECT_TRUE(is_valid_utf8(c.text));
    // The encoder gives the same bytes back.
    std::string again;
    append_utf8(c.code_point, again);
    EXPECT_EQ(hex(view(again)), hex(view(c.text)));
  }
}

TEST(Utf8Test, IllFormedTextAndTheOffsetThatShowsIt) {
  struct Case {
    std::string_view text;
    size_t offset;
  };
  const Case cases[] = {
      // Overlong forms of "/", U+007F, U+07FF and U+FFFF.
      {"\xC0\xAF", 0}, {"\xC1\xBF", 0}, {"\xE0\x9F\xBF", 0},
      {"\xF0\x8F\xBF\xBF", 0},
      // Encoded surrogates, high and low.
      {"\xED\xA0\x80", 0}, {"\xED\xBF\xBF", 0},
      // Above U+10FFFF, and bytes that start no character.
      {"\xF4\x90\x80\x80", 0}, {"\xF5\x80\x80\x80", 0}, {"\xF8\x88\x80\x80\x80", 0},
      {"ab\xFF", 2}, {"ab\x80", 2},
      // Cut short by the end of the text.
      {"a\xC3", 1}, {"\xE2\x82", 0}, {"\xF0\x9F\x98", 0},
      // A continuation byte missing: the byte in its place is named.
      {"\xE2\x41\x41", 1}, {"x\xF0\x9F\x41\x80", 3},
      // The first fault counts, after well-formed characters.
      {"\xC3\xA9\xC3\xA9\xED\xA0\x80\xFF", 4},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(is_valid_utf8(c.text)) << hex(view(c.text));
    EXPECT_FALSE(is_valid_utf8(view(c.text))) << hex(view(c.text));
    EXPECT_EQ(utf8_error_offset(c.text), std::optional<size_t>(c.offset))
        << hex(view(c.text));
  }
  EXPECT_EQ(utf8_error_offset(""), std::nullopt);
  EXPECT_EQ(utf8_error_offset("a\xC3\xA9\xF0\x9F\x98\x80"), std::nullopt);
}

TEST(Utf16Test, SurrogatePairsAboveTheBasicPlane) {
  // U+10000 = D800 DC00, U+1F600 = D83D DE00, U+10FFFF = DBFF DFFF.
  EXPECT_EQ(to_utf16("\xF0\x90\x80\x80"), u"\xD800\xDC00"sv);
  EXPECT_EQ(to_utf16("a\xF0\x9F\x98\x80" "b"), u"a\xD83D\xDE00" "b"sv);
  EXPECT_EQ(to_utf16("\xF4\x8F\xBF\xBF"), u"\xDBFF\xDFFF"sv);
  EXPECT_EQ(to_utf16("\xEF\xBF\xBF\xC3\xA9"), u"\xFFFF\x00E9"sv);
  EXPECT_EQ(utf16_len("a\xF0\x9F\x98\x80\xEF\xBF\xBF"), 4u);
  EXPECT_TRUE(to_utf16("").empty());
}

TEST(Utf8Test, IllFormedBytesReadAsReplacementOneByOne) {
  std::vector<char32_t> got;
  for_each_code_point("a\xE2\x82" "b", [&](char32_t cp) { got.push_back(cp); });
  EXPECT_EQ(got, (std::vector<char32_t>{U'a', U'\uFFFD', U'\uFFFD', U'b'}));
}

}  // namespace
}  // namespace cellvault
