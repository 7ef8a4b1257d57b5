// SHA-512 of short messages by a single compression.
//
// The password key derivation hashes 100000 messages of 68 bytes and the
// package encryption one message of 20 bytes per segment. Each fits one
// 128-byte SHA-512 block once padded, so the digest is one run of the
// compression function over a block that we pad ourselves. Going through a
// digest context instead costs set-up, buffering and finalisation per
// message, which is more than the compression itself.

#ifndef CELLVAULT_HELPER_CRYPT_SHA512_BLOCK_H_
#define CELLVAULT_HELPER_CRYPT_SHA512_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "helper/crypt/agile_format.h"

namespace cellvault {

inline constexpr size_t kSha512DigestLen = kSha512.digest_len;
inline constexpr size_t kSha512BlockLen = 128;
// A message fits one block when its padding (one 0x80 byte) and its 16-byte
// bit length fit behind it: 128 - 1 - 16 = 111 bytes.
inline constexpr size_t kSha512OneBlockMax = kSha512BlockLen - 1 - 16;

// sha512_one_block writes SHA-512 of the concatenation of |parts| to |out|.
// The caller guarantees that the parts add up to at most kSha512OneBlockMax
// bytes; a longer message aborts the call.
void sha512_one_block(std::span<const ByteView> parts,
                      uint8_t out[kSha512DigestLen]);

// sha512_spin replaces the digest |h| by the result of |count| iterations of
// h = SHA-512(LE32(i) || h), i = 0 .. count - 1: the iterated hash of the
// password key derivation ([MS-OFFCRYPTO] 2.3.4.11). The iterator is the low
// 32 bits of i. Nothing is allocated; the work block is wiped on return.
void sha512_spin(uint8_t h[kSha512DigestLen], uint64_t count);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_SHA512_BLOCK_H_
