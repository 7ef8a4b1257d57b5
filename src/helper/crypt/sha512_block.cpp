// SHA512_Transform is deprecated in OpenSSL 3 in favour of the EVP digest
// interface, which has no single-block entry. It remains part of the
// library's ABI; this file is the only user.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "helper/crypt/sha512_block.h"

#include <openssl/sha.h>

#include <cstring>

#include "common/abort.h"
#include "common/secure.h"

namespace cellvault {
namespace {

static_assert(sizeof(SHA512_CTX::h) == kSha512DigestLen);

// The offset of the big-endian 128-bit message length at the end of a block.
constexpr size_t kLengthOffset = kSha512BlockLen - 16;

// initial_state returns a context that holds the SHA-512 initial hash value.
SHA512_CTX initial_state() {
  SHA512_CTX ctx;
  SHA512_Init(&ctx);
  return ctx;
}

}  // namespace

void sha512_pad_block(uint8_t block[kSha512BlockLen], size_t len) {
  std::memset(block + len, 0, kSha512BlockLen - len);
  block[len] = 0x80;
  const uint64_t bits = static_cast<uint64_t>(len) * 8;
  sha512_store_words(&bits, 1, block + kSha512BlockLen - 8);
}

void sha512_one_block(std::span<const ByteView> parts,
                      uint8_t out[kSha512DigestLen]) {
  alignas(8) uint8_t block[kSha512BlockLen];
  SHA512_CTX ctx = initial_state();
  ScopedWipe wipe_block(block, sizeof(block));
  ScopedWipe wipe_ctx(&ctx, sizeof(ctx));
  size_t len = 0;
  for (ByteView part : parts) {
    if (part.size() > kSha512OneBlockMax - len) {
      abort_call("sha512_one_block: message longer than one block");
    }
    if (!part.empty()) std::memcpy(block + len, part.data(), part.size());
    len += part.size();
  }
  sha512_pad_block(block, len);
  SHA512_Transform(&ctx, block);
  sha512_store_words(ctx.h, 8, out);
}

void sha512_spin(uint8_t h[kSha512DigestLen], uint64_t count) {
  // The block is laid out once: iterator (4 bytes), previous digest
  // (64 bytes), padding of a 68-byte message. Each iteration rewrites only
  // the iterator and the digest, which the compression leaves in the state.
  constexpr size_t kIteratorLen = 4;
  constexpr size_t kMessageLen = kIteratorLen + kSha512DigestLen;
  static_assert(kMessageLen <= kSha512OneBlockMax);
  static_assert(kLengthOffset > kMessageLen);

  alignas(8) uint8_t block[kSha512BlockLen];
  const SHA512_CTX initial = initial_state();
  SHA512_CTX ctx = initial;
  ScopedWipe wipe_block(block, sizeof(block));
  ScopedWipe wipe_ctx(&ctx, sizeof(ctx));
  std::memcpy(block + kIteratorLen, h, kSha512DigestLen);
  sha512_pad_block(block, kMessageLen);
  for (uint64_t i = 0; i < count; ++i) {
    store_u32le(block, static_cast<uint32_t>(i));
    std::memcpy(ctx.h, initial.h, sizeof(ctx.h));
    SHA512_Transform(&ctx, block);
    sha512_store_words(ctx.h, 8, block + kIteratorLen);
  }
  std::memcpy(h, block + kIteratorLen, kSha512DigestLen);
}

}  // namespace cellvault
