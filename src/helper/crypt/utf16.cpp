#include "helper/crypt/utf16.h"

#include <cstdint>
#include <string>

#include "common/abort.h"
#include "common/bytes.h"

namespace cellvault {
namespace {

[[noreturn]] void invalid_utf8(size_t offset) {
  abort_call("password is not valid UTF-8 (byte " + std::to_string(offset) +
             ")");
}

// decode_one decodes the character that starts at |text[*pos]| and advances
// |*pos| past it.
uint32_t decode_one(std::string_view text, size_t* pos) {
  const size_t start = *pos;
  const auto byte = [&](size_t i) {
    return static_cast<uint8_t>(text[i]);
  };
  const uint8_t lead = byte(start);
  if (lead < 0x80) {
    *pos = start + 1;
    return lead;
  }
  size_t extra;
  uint32_t cp;
  uint32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    invalid_utf8(start);
  }
  if (text.size() - start <= extra) invalid_utf8(start);
  for (size_t i = 1; i <= extra; ++i) {
    const uint8_t c = byte(start + i);
    if ((c & 0xC0) != 0x80) invalid_utf8(start + i);
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    invalid_utf8(start);
  }
  *pos = start + 1 + extra;
  return cp;
}

void add_unit(SecretBytes& out, uint32_t unit) {
  add_u16le(out, static_cast<uint16_t>(unit));
}

}  // namespace

SecretBytes utf16le_from_utf8(std::string_view text) {
  SecretBytes out;
  // Every UTF-8 byte yields at most two UTF-16 bytes (a 4-byte sequence
  // yields 4), so one allocation suffices.
  out.reserve(text.size() * 2);
  size_t pos = 0;
  while (pos < text.size()) {
    const uint32_t cp = decode_one(text, &pos);
    if (cp < 0x10000) {
      add_unit(out, cp);
    } else {
      const uint32_t v = cp - 0x10000;
      add_unit(out, 0xD800 | (v >> 10));
      add_unit(out, 0xDC00 | (v & 0x3FF));
    }
  }
  return out;
}

}  // namespace cellvault
