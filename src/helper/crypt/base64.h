// Base64 (RFC 4648 section 4): standard alphabet, "=" padding, no line
// breaks.

#ifndef CELLVAULT_HELPER_CRYPT_BASE64_H_
#define CELLVAULT_HELPER_CRYPT_BASE64_H_

#include <string>

#include "common/bytes.h"

namespace cellvault {

// base64_encode returns the 4 * ceil(n / 3) characters that encode the n
// bytes of |data|; the empty buffer gives the empty text.
std::string base64_encode(ByteView data);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_BASE64_H_
