#include "helper/crypt/integrity.h"

#include <cstring>

#include "common/abort.h"

#include "helper/crypt/hash.h"
#include "helper/crypt/names.h"
#include "helper/crypt/ossl.h"
#include "helper/crypt/sha512_block.h"

namespace cellvault {
namespace {

constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5c;

// start_digest starts a SHA-512 of |prefix| (one key block) in |ctx|.
void start_digest(EVP_MD_CTX* ctx, const uint8_t* prefix) {
  check_openssl(EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr),
                "EVP_DigestInit_ex");
  check_openssl(EVP_DigestUpdate(ctx, prefix, kSha512BlockLen),
                "EVP_DigestUpdate");
}

void end_digest(EVP_MD_CTX* ctx, uint8_t out[kSha512DigestLen]) {
  unsigned int len = 0;
  check_openssl(EVP_DigestFinal_ex(ctx, out, &len), "EVP_DigestFinal_ex");
}

}  // namespace

TextResult<Hmac> Hmac::create(std::string_view algorithm, ByteView key) {
  CV_TRY(check_algorithm(algorithm, kSha512.name));

  // The key block: the key (or the digest of a key longer than a block),
  // then zero bytes up to the block length.
  uint8_t key_block[kSha512BlockLen] = {};
  uint8_t pad[kSha512BlockLen];
  ScopedWipe wipe_key_block(key_block, sizeof(key_block));
  ScopedWipe wipe_pad(pad, sizeof(pad));
  if (key.size() > kSha512BlockLen) {
    CV_TRY_ASSIGN(const SecretBytes digest, hash(algorithm, {key}));
    std::memcpy(key_block, digest.data(), digest.size());
  } else if (!key.empty()) {
    std::memcpy(key_block, key.data(), key.size());
  }

  EvpMdCtx ctx = new_md_ctx();
  for (size_t i = 0; i < kSha512BlockLen; ++i) pad[i] = key_block[i] ^ kInnerPad;
  start_digest(ctx.get(), pad);
  SecretBytes outer_pad(kSha512BlockLen);
  for (size_t i = 0; i < kSha512BlockLen; ++i) {
    outer_pad[i] = key_block[i] ^ kOuterPad;
  }
  return Hmac(std::move(ctx), std::move(outer_pad));
}

void Hmac::update(ByteView data) {
  if (!ctx_) abort_call("Hmac: update after finish");
  if (data.empty()) return;
  check_openssl(EVP_DigestUpdate(ctx_.get(), data.data(), data.size()),
                "EVP_DigestUpdate");
}

SecretBytes Hmac::finish() {
  if (!ctx_) abort_call("Hmac: finish after finish");
  uint8_t inner[kSha512DigestLen];
  ScopedWipe wipe_inner(inner, sizeof(inner));
  end_digest(ctx_.get(), inner);
  start_digest(ctx_.get(), outer_pad_.data());
  check_openssl(EVP_DigestUpdate(ctx_.get(), inner, sizeof(inner)),
                "EVP_DigestUpdate");
  SecretBytes out(kSha512DigestLen);
  end_digest(ctx_.get(), out.data());
  ctx_.reset();
  return out;
}

TextResult<SecretBytes> hmac(std::string_view algorithm, ByteView key,
                             std::span<const ByteView> buffers) {
  CV_TRY_ASSIGN(Hmac mac, Hmac::create(algorithm, key));
  for (ByteView b : buffers) mac.update(b);
  return mac.finish();
}

TextResult<SecretBytes> hmac(std::string_view algorithm, ByteView key,
                             std::initializer_list<ByteView> buffers) {
  return hmac(algorithm, key,
              std::span<const ByteView>(buffers.begin(), buffers.size()));
}

}  // namespace cellvault
