#include "helper/crypt/utf16.h"

#include <string>

#include "common/abort.h"
#include "common/bytes.h"
#include "common/text.h"

namespace cellvault {

SecretBytes utf16le_from_utf8(std::string_view text) {
  SecretBytes out;
  // Every UTF-8 byte yields at most two UTF-16 bytes (a 4-byte sequence
  // yields 4), so one allocation suffices.
  out.reserve(text.size() * 2);
  for (size_t pos = 0; pos < text.size();) {
    const Result<Utf8Char, size_t> c = decode_utf8(text, pos);
    if (!c.ok()) {
      abort_call("password is not valid UTF-8 (byte " +
                 std::to_string(c.error()) + ")");
    }
    char16_t units[2];
    const size_t n = encode_utf16(c->code_point, units);
    for (size_t i = 0; i < n; ++i) add_u16le(out, units[i]);
    pos += c->len;
  }
  return out;
}

}  // namespace cellvault
