#include "reader/crypto.h"

#include <openssl/evp.h>

#include <algorithm>

#include "common/abort.h"
#include "helper/crypt/agile_format.h"
#include "helper/crypt/hash.h"
#include "helper/crypt/sha512_block.h"

namespace cellvault::reader {

namespace {

const EVP_MD* md_of(HashAlg alg) {
  switch (alg) {
    case HashAlg::kSha1: return EVP_sha1();
    case HashAlg::kSha256: return EVP_sha256();
    case HashAlg::kSha384: return EVP_sha384();
    case HashAlg::kSha512: return EVP_sha512();
  }
  return EVP_sha512();
}

// The HMAC block length: 64 bytes for SHA-1 and SHA-256, 128 for SHA-384
// and SHA-512 (FIPS 180-4).
size_t block_len_of(HashAlg alg) {
  return alg == HashAlg::kSha384 || alg == HashAlg::kSha512 ? 128 : 64;
}

void digest_into(EVP_MD_CTX* ctx, HashAlg alg, std::initializer_list<ByteView> parts,
                 uint8_t* out) {
  check_openssl(EVP_DigestInit_ex(ctx, md_of(alg), nullptr), "EVP_DigestInit_ex");
  for (ByteView p : parts) {
    check_openssl(EVP_DigestUpdate(ctx, p.data(), p.size()), "EVP_DigestUpdate");
  }
  unsigned int len = 0;
  check_openssl(EVP_DigestFinal_ex(ctx, out, &len), "EVP_DigestFinal_ex");
}

const EVP_CIPHER* cipher_of(size_t key_len, AesDecryptor::Mode mode) {
  const bool cbc = mode == AesDecryptor::Mode::kCbc;
  switch (key_len) {
    case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    default: abort_call("AES key of " + std::to_string(key_len) + " bytes");
  }
}

}  // namespace

SecretBytes digest(HashAlg alg, std::initializer_list<ByteView> parts) {
  EvpMdCtx ctx = new_md_ctx();
  SecretBytes out(hash_len(alg));
  digest_into(ctx.get(), alg, parts, out.data());
  return out;
}

SecretBytes agile_iterated_hash(HashAlg alg, ByteView salt, ByteView password, uint32_t spins) {
  SecretBytes h = digest(alg, {salt, password});
  if (alg == HashAlg::kSha512) {
    // The writer's single-block SHA-512 runs the same chain without a
    // digest context per spin.
    sha512_spin(h.data(), spins);
    return h;
  }
  EvpMdCtx ctx = new_md_ctx();
  uint8_t iter[4];
  for (uint32_t i = 0; i < spins; ++i) {
    store_u32le(iter, i);
    digest_into(ctx.get(), alg, {ByteView(iter, 4), ByteView(h)}, h.data());
  }
  return h;
}

SecretBytes agile_key(HashAlg alg, ByteView iterated, ByteView block_key, size_t key_len) {
  const SecretBytes h = digest(alg, {iterated, block_key});
  return fit_to_length<SecretBytes>(h, key_len);
}

Bytes agile_iv(HashAlg alg, ByteView salt, ByteView block_key) {
  if (block_key.empty()) return fit_to_length<Bytes>(salt, kAesBlockLen);
  const SecretBytes h = digest(alg, {salt, block_key});
  return fit_to_length<Bytes>(h, kAesBlockLen);
}

SecretBytes standard_key(ByteView salt, ByteView password, size_t key_len) {
  constexpr uint32_t kSpins = 50000;
  SecretBytes h = agile_iterated_hash(HashAlg::kSha1, salt, password, kSpins);
  uint8_t block[4];
  store_u32le(block, 0);
  const SecretBytes final_hash = digest(HashAlg::kSha1, {h, ByteView(block, 4)});
  // The hash is widened to 40 bytes by hashing it XORed into 64 bytes of
  // 0x36 and of 0x5C, one after the other.
  SecretBytes buf1(64, 0x36), buf2(64, 0x5C);
  for (size_t i = 0; i < final_hash.size(); ++i) {
    buf1[i] ^= final_hash[i];
    buf2[i] ^= final_hash[i];
  }
  const SecretBytes x1 = digest(HashAlg::kSha1, {buf1});
  const SecretBytes x2 = digest(HashAlg::kSha1, {buf2});
  SecretBytes out(x1.begin(), x1.end());
  out.insert(out.end(), x2.begin(), x2.end());
  out.resize(std::min(key_len, out.size()));
  return out;
}

AesDecryptor::AesDecryptor(ByteView key, Mode mode) : ctx_(new_cipher_ctx()) {
  check_openssl(EVP_DecryptInit_ex(ctx_.get(), cipher_of(key.size(), mode), nullptr, key.data(),
                                   nullptr),
                "EVP_DecryptInit_ex");
  check_openssl(EVP_CIPHER_CTX_set_padding(ctx_.get(), 0), "EVP_CIPHER_CTX_set_padding");
}

void AesDecryptor::decrypt(ByteView iv, ByteView in, std::span<uint8_t> out) {
  if (in.size() % kAesBlockLen != 0 || out.size() != in.size()) {
    abort_call("AES decryption of " + std::to_string(in.size()) + " bytes");
  }
  // A null key keeps the schedule; the IV (CBC) restarts the chain.
  check_openssl(EVP_DecryptInit_ex(ctx_.get(), nullptr, nullptr, nullptr,
                                   iv.size() == kAesBlockLen ? iv.data() : nullptr),
                "EVP_DecryptInit_ex");
  size_t done = 0;
  while (done < in.size()) {
    const size_t n = std::min<size_t>(in.size() - done, 1 << 30);
    int len = 0;
    check_openssl(EVP_DecryptUpdate(ctx_.get(), out.data() + done, &len, in.data() + done,
                                    static_cast<int>(n)),
                  "EVP_DecryptUpdate");
    done += n;
  }
}

SecretBytes decrypt_value(ByteView key, ByteView iv, ByteView in) {
  AesDecryptor aes(key, AesDecryptor::Mode::kCbc);
  SecretBytes out(in.size());
  aes.decrypt(iv, in, out);
  return out;
}

Digest::Digest(HashAlg alg) : alg_(alg), ctx_(new_md_ctx()) {
  check_openssl(EVP_DigestInit_ex(ctx_.get(), md_of(alg), nullptr), "EVP_DigestInit_ex");
}

void Digest::update(ByteView data) {
  check_openssl(EVP_DigestUpdate(ctx_.get(), data.data(), data.size()), "EVP_DigestUpdate");
}

SecretBytes Digest::finish() {
  SecretBytes out(hash_len(alg_));
  unsigned int len = 0;
  check_openssl(EVP_DigestFinal_ex(ctx_.get(), out.data(), &len), "EVP_DigestFinal_ex");
  return out;
}

Hmac::Hmac(HashAlg alg, ByteView key) : alg_(alg), inner_(new_md_ctx()) {
  const size_t block = block_len_of(alg);
  SecretBytes k(key.begin(), key.end());
  if (k.size() > block) k = digest(alg, {key});
  k.resize(block, 0);
  SecretBytes inner_pad(block);
  outer_pad_.resize(block);
  for (size_t i = 0; i < block; ++i) {
    inner_pad[i] = k[i] ^ 0x36;
    outer_pad_[i] = k[i] ^ 0x5C;
  }
  check_openssl(EVP_DigestInit_ex(inner_.get(), md_of(alg), nullptr), "EVP_DigestInit_ex");
  update(inner_pad);
}

void Hmac::update(ByteView data) {
  check_openssl(EVP_DigestUpdate(inner_.get(), data.data(), data.size()), "EVP_DigestUpdate");
}

SecretBytes Hmac::finish() {
  SecretBytes inner(hash_len(alg_));
  unsigned int len = 0;
  check_openssl(EVP_DigestFinal_ex(inner_.get(), inner.data(), &len), "EVP_DigestFinal_ex");
  return digest(alg_, {outer_pad_, inner});
}

}  // namespace cellvault::reader
