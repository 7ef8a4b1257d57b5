#include "common/text.h"

#include <cstdint>

namespace cellvault {

Result<Utf8Char, size_t> decode_utf8(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(pos);
  if (lead < 0x80) return Utf8Char{lead, 1};
  // The lead byte gives the length; |min| is the smallest character that
  // needs it, so anything below is an overlong form.
  size_t extra;
  char32_t cp;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return Err{pos};
  }
  if (text.size() - pos <= extra) return Err{pos};
  for (size_t i = 1; i <= extra; ++i) {
    const uint8_t c = byte(pos + i);
    if ((c & 0xC0) != 0x80) return Err{pos + i};
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return Err{pos};
  }
  return Utf8Char{cp, 1 + extra};
}

std::optional<size_t> utf8_error_offset(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    const Result<Utf8Char, size_t> c = decode_utf8(text, pos);
    if (!c.ok()) return c.error();
    pos += c->len;
  }
  return std::nullopt;
}

bool is_valid_utf8(std::string_view text) {
  return !utf8_error_offset(text).has_value();
}

bool is_valid_utf8(ByteView text) {
  return is_valid_utf8(std::string_view(
      reinterpret_cast<const char*>(text.data()), text.size()));
}

size_t encode_utf16(char32_t cp, char16_t out[2]) {
  if (cp <= 0xFFFF) {
    out[0] = static_cast<char16_t>(cp);
    return 1;
  }
  const char32_t v = cp - 0x10000;
  out[0] = static_cast<char16_t>(0xD800 | (v >> 10));
  out[1] = static_cast<char16_t>(0xDC00 | (v & 0x3FF));
  return 2;
}

std::u16string to_utf16(std::string_view text) {
  std::u16string out;
  for_each_code_point(text, [&](char32_t cp) {
    char16_t units[2];
    out.append(units, encode_utf16(cp, units));
  });
  return out;
}

size_t utf16_len(std::string_view text) {
  size_t n = 0;
  for_each_code_point(text, [&](char32_t cp) { n += utf16_units(cp); });
  return n;
}

void append_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace cellvault
