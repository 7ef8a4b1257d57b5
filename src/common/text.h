// Text encoding: the one UTF-8 decoder of the code base, and the UTF-8 and
// UTF-16 encoders beside it.
//
// Paths, stream names and passwords arrive as UTF-8. Directory entry names
// are stored as UTF-16, and the password is hashed as UTF-16LE, so both
// conversions decode here. Well-formed UTF-8 is what Unicode (chapter 3,
// table 3-7) allows: the shortest form of each character, no encoded
// surrogates (U+D800 to U+DFFF), nothing above U+10FFFF.

#ifndef CELLVAULT_COMMON_TEXT_H_
#define CELLVAULT_COMMON_TEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/result.h"

namespace cellvault {

// One character decoded from UTF-8.
struct Utf8Char {
  char32_t code_point;
  size_t len;  // bytes it takes, 1 to 4
};

// decode_utf8 decodes the character that starts at |text[pos]|; |pos| must
// be below text.size(). When the bytes there are not a well-formed
// character, the error is the offset that shows it: the first byte that
// should continue the sequence and does not, or |pos| itself for a byte
// that starts no character, a sequence that the end of the text cuts short,
// an overlong form, a surrogate or a value above U+10FFFF.
Result<Utf8Char, size_t> decode_utf8(std::string_view text, size_t pos);

// utf8_error_offset returns the offset that decode_utf8 reports for the
// first ill-formed character of |text|, or nothing when all of it is
// well-formed.
std::optional<size_t> utf8_error_offset(std::string_view text);

// is_valid_utf8 tells whether all of |text| is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);
bool is_valid_utf8(ByteView text);

// is_utf8_continuation tells whether |c| continues a sequence (10xxxxxx),
// so that cutting the text just before it would split a character.
constexpr bool is_utf8_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// for_each_code_point calls |f| with each character of |text|, which the
// caller has found well-formed. Should an ill-formed byte come all the
// same, it reads as U+FFFD on its own: nothing is read past the text.
template <class F>
void for_each_code_point(std::string_view text, F&& f) {
  for (size_t pos = 0; pos < text.size();) {
    const Result<Utf8Char, size_t> c = decode_utf8(text, pos);
    f(c.ok() ? c->code_point : U'\uFFFD');
    pos += c.ok() ? c->len : 1;
  }
}

// utf16_units is the number of UTF-16 code units of the character |cp|:
// two (a surrogate pair) above U+FFFF, one otherwise.
constexpr size_t utf16_units(char32_t cp) { return cp > 0xFFFF ? 2 : 1; }

// encode_utf16 writes the UTF-16 form of the character |cp| to |out|, the
// high surrogate first above U+FFFF, and returns how many units it wrote.
size_t encode_utf16(char32_t cp, char16_t out[2]);

// to_utf16 converts the well-formed UTF-8 |text| to UTF-16 code units.
std::u16string to_utf16(std::string_view text);

// utf16_len counts the UTF-16 code units of the well-formed UTF-8 |text|.
size_t utf16_len(std::string_view text);

// append_utf8 appends the UTF-8 form of the character |cp| to |out|.
void append_utf8(char32_t cp, std::string& out);

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_TEXT_H_
