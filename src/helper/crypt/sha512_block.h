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

// sha512_pad_block appends the SHA-512 padding to a message of |len| bytes
// (at most kSha512OneBlockMax) that is already at the start of |block|:
// 0x80, zeros, and the bit length as a 128-bit big-endian number.
void sha512_pad_block(uint8_t block[kSha512BlockLen], size_t len);

// sha512_load_words reads |n| 64-bit words from |in| and sha512_store_words
// writes |n| words to |out|, in the byte order of SHA-512's message words
// and digest (big-endian, FIPS 180-4 3.1). It is the hash's own order,
// unrelated to the little-endian integers of our file formats, and used
// only where the hash is computed. The store takes OpenSSL's state words
// (unsigned long long) as well as uint64_t.
inline void sha512_load_words(const uint8_t* in, size_t n, uint64_t* out) {
  // Written as one expression per word, which compilers turn into a load
  // and a byte swap.
  for (size_t w = 0; w < n; ++w, in += 8) {
    out[w] = uint64_t{in[0]} << 56 | uint64_t{in[1]} << 48 | uint64_t{in[2]} << 40 |
             uint64_t{in[3]} << 32 | uint64_t{in[4]} << 24 | uint64_t{in[5]} << 16 |
             uint64_t{in[6]} << 8 | uint64_t{in[7]};
  }
}

template <class Word>
void sha512_store_words(const Word* in, size_t n, uint8_t* out) {
  static_assert(sizeof(Word) == 8);
  for (size_t w = 0; w < n; ++w, out += 8) {
    const uint64_t v = in[w];
    out[0] = static_cast<uint8_t>(v >> 56);
    out[1] = static_cast<uint8_t>(v >> 48);
    out[2] = static_cast<uint8_t>(v >> 40);
    out[3] = static_cast<uint8_t>(v >> 32);
    out[4] = static_cast<uint8_t>(v >> 24);
    out[5] = static_cast<uint8_t>(v >> 16);
    out[6] = static_cast<uint8_t>(v >> 8);
    out[7] = static_cast<uint8_t>(v);
  }
}

// sha512_spin replaces the digest |h| by the result of |count| iterations of
// h = SHA-512(LE32(i) || h), i = 0 .. count - 1: the iterated hash of the
// password key derivation ([MS-OFFCRYPTO] 2.3.4.11). The iterator is the low
// 32 bits of i. Nothing is allocated; the work block is wiped on return.
void sha512_spin(uint8_t h[kSha512DigestLen], uint64_t count);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_SHA512_BLOCK_H_
