// Base64 (RFC 4648 section 4): standard alphabet, "=" padding, no line
// breaks.

#ifndef CELLVAULT_HELPER_CRYPT_BASE64_H_
#define CELLVAULT_HELPER_CRYPT_BASE64_H_

#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace cellvault {

// base64_encode returns the 4 * ceil(n / 3) characters that encode the n
// bytes of |data|; the empty buffer gives the empty text.
std::string base64_encode(ByteView data);

// base64_decode returns the bytes that |text| encodes, or nullopt when it
// is not exactly such an encoding: a length that is not a multiple of 4, a
// character outside the alphabet (whitespace included), "=" anywhere but
// in the last one or two places, or padding bits that are not zero. Being
// strict means that one value has one spelling, which is what the reader
// of a hostile file wants.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_BASE64_H_
