#include "helper/crypt/integrity.h"

#include <cstring>

#include "helper/crypt/hash.h"
#include "helper/crypt/names.h"
#include "helper/crypt/ossl.h"
#include "helper/crypt/sha512_block.h"

namespace cellvault {
namespace {

constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5c;

// digest_of hashes |prefix| (one key block) followed by |buffers| into
// |out| with the reusable context |ctx|.
void digest_of(EVP_MD_CTX* ctx, const uint8_t* prefix,
               std::span<const ByteView> buffers,
               uint8_t out[kSha512DigestLen]) {
  check_openssl(EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr),
                "EVP_DigestInit_ex");
  check_openssl(EVP_DigestUpdate(ctx, prefix, kSha512BlockLen),
                "EVP_DigestUpdate");
  for (ByteView b : buffers) {
    check_openssl(EVP_DigestUpdate(ctx, b.data(), b.size()),
                  "EVP_DigestUpdate");
  }
  unsigned int len = 0;
  check_openssl(EVP_DigestFinal_ex(ctx, out, &len), "EVP_DigestFinal_ex");
}

}  // namespace

TextResult<SecretBytes> hmac(std::string_view algorithm, ByteView key,
                             std::span<const ByteView> buffers) {
  CV_TRY(check_algorithm(algorithm, kSha512.name));

  // The key block: the key (or the digest of a key longer than a block),
  // then zero bytes up to the block length.
  uint8_t key_block[kSha512BlockLen] = {};
  uint8_t pad[kSha512BlockLen];
  uint8_t inner[kSha512DigestLen];
  ScopedWipe wipe_key_block(key_block, sizeof(key_block));
  ScopedWipe wipe_pad(pad, sizeof(pad));
  ScopedWipe wipe_inner(inner, sizeof(inner));
  if (key.size() > kSha512BlockLen) {
    CV_TRY_ASSIGN(const SecretBytes digest, hash(algorithm, {key}));
    std::memcpy(key_block, digest.data(), digest.size());
  } else if (!key.empty()) {
    std::memcpy(key_block, key.data(), key.size());
  }

  EvpMdCtx ctx = new_md_ctx();
  for (size_t i = 0; i < kSha512BlockLen; ++i) pad[i] = key_block[i] ^ kInnerPad;
  digest_of(ctx.get(), pad, buffers, inner);
  for (size_t i = 0; i < kSha512BlockLen; ++i) pad[i] = key_block[i] ^ kOuterPad;
  SecretBytes out(kSha512DigestLen);
  const ByteView inner_view[] = {ByteView(inner, sizeof(inner))};
  digest_of(ctx.get(), pad, inner_view, out.data());
  return out;
}

TextResult<SecretBytes> hmac(std::string_view algorithm, ByteView key,
                             std::initializer_list<ByteView> buffers) {
  return hmac(algorithm, key,
              std::span<const ByteView>(buffers.begin(), buffers.size()));
}

}  // namespace cellvault
