// The password's byte form: UTF-16LE.

#ifndef CELLVAULT_HELPER_CRYPT_UTF16_H_
#define CELLVAULT_HELPER_CRYPT_UTF16_H_

#include <string_view>

#include "common/secure.h"

namespace cellvault {

// utf16le_from_utf8 encodes the UTF-8 text |text| as UTF-16LE: one 16-bit
// code unit per character, a surrogate pair (high surrogate first) above
// U+FFFF, each unit low byte first, without byte order mark or terminator.
// The empty text gives an empty buffer. The result is wiped when released.
//
// Text that is not well-formed UTF-8 (stray continuation bytes, truncated
// or overlong sequences, encoded surrogates, values above U+10FFFF) aborts
// the call: mapping such bytes to a replacement character would let
// different passwords derive the same key.
SecretBytes utf16le_from_utf8(std::string_view text);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_UTF16_H_
