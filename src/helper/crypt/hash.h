// Hash-based derivations of the Agile encryption ([MS-OFFCRYPTO] 2.3.4.11
// and 2.3.4.12): the digest of a buffer list, the password key derivation
// and the IV derivation. SHA-512 is the only hash algorithm, named "SHA512".

#ifndef CELLVAULT_HELPER_CRYPT_HASH_H_
#define CELLVAULT_HELPER_CRYPT_HASH_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"
#include "common/secure.h"
#include "helper/crypt/agile_format.h"

namespace cellvault {

// hash returns the 64-byte SHA-512 digest of the concatenation of
// |buffers| in list order (an empty list hashes the empty message). When
// |algorithm| is not exactly "SHA512" it returns the error text
// "algorithm <algorithm> not supported!". The digest is wiped when released:
// callers hash secrets such as the password verifier.
TextResult<SecretBytes> hash(std::string_view algorithm,
                             std::span<const ByteView> buffers);
TextResult<SecretBytes> hash(std::string_view algorithm,
                             std::initializer_list<ByteView> buffers);

// convert_password_to_key derives a key from |password| (UTF-8):
//   H = SHA-512(salt || UTF-16LE(password));
//   H = SHA-512(LE32(i) || H) for i = 0 .. spin_count - 1;
//   H = SHA-512(H || block_key);
// and returns H fitted to key_bits / 8 bytes (see fit_to_length). An
// unsupported |algorithm| or a password that is not valid UTF-8 aborts the
// call (the former with "called `Result::unwrap()` on an `Err` value: " and
// the quoted error text).
SecretBytes convert_password_to_key(std::string_view password,
                                    std::string_view algorithm, ByteView salt,
                                    uint64_t spin_count, uint64_t key_bits,
                                    ByteView block_key);

// convert_password_to_keys derives the keys for three block keys at the
// cost of one: the salted, iterated hash does not depend on the block key,
// so it is computed once and finished once per block key. Element j of the
// result is byte for byte convert_password_to_key(password, algorithm,
// salt, spin_count, key_bits, block_keys[j]). Fails like
// convert_password_to_key.
std::array<SecretBytes, 3> convert_password_to_keys(
    std::string_view password, std::string_view algorithm, ByteView salt,
    uint64_t spin_count, uint64_t key_bits,
    const std::array<ByteView, 3>& block_keys);

// create_iv returns SHA-512(salt || block_key) fitted to |block_size|
// bytes. The digest is taken also for an empty block key. An unsupported
// |algorithm| aborts the call like convert_password_to_key.
Bytes create_iv(std::string_view algorithm, ByteView salt, uint64_t block_size,
                ByteView block_key);

// fit_to_length returns the first |n| bytes of |digest| when it is longer,
// |digest| followed by bytes 0x36 up to |n| bytes when it is shorter, and
// |digest| itself otherwise.
template <class Buffer>
Buffer fit_to_length(ByteView digest, size_t n) {
  constexpr uint8_t kFill = 0x36;
  Buffer out(n, kFill);
  const size_t keep = digest.size() < n ? digest.size() : n;
  for (size_t i = 0; i < keep; ++i) out[i] = digest[i];
  return out;
}

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_HASH_H_
