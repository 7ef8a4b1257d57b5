#include "helper/crypt/hash.h"

#include <cstring>

#include "common/abort.h"
#include "helper/crypt/names.h"
#include "helper/crypt/ossl.h"
#include "helper/crypt/sha512_block.h"
#include "helper/crypt/utf16.h"

namespace cellvault {
namespace {

// spin_chain computes the block-key-independent part of the password key
// derivation into |h|: SHA-512 of salt and password, then the iterations.
void spin_chain(std::string_view password, std::string_view algorithm,
                ByteView salt, uint64_t spin_count,
                uint8_t h[kSha512DigestLen]) {
  const SecretBytes encoded = utf16le_from_utf8(password);
  const SecretBytes first = unwrap(hash(algorithm, {salt, encoded}));
  std::memcpy(h, first.data(), kSha512DigestLen);
  sha512_spin(h, spin_count);
}

// finish_key hashes the chain's result with |block_key| and fits it to
// key_bits / 8 bytes.
SecretBytes finish_key(std::string_view algorithm,
                       const uint8_t h[kSha512DigestLen], uint64_t key_bits,
                       ByteView block_key) {
  const SecretBytes final_hash = unwrap(
      hash(algorithm, {ByteView(h, kSha512DigestLen), block_key}));
  return fit_to_length<SecretBytes>(final_hash,
                                    static_cast<size_t>(key_bits / 8));
}

}  // namespace

TextResult<SecretBytes> hash(std::string_view algorithm,
                             std::span<const ByteView> buffers) {
  CV_TRY(check_algorithm(algorithm, kSha512.name));
  EvpMdCtx ctx = new_md_ctx();
  check_openssl(EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr),
                "EVP_DigestInit_ex");
  for (ByteView b : buffers) {
    check_openssl(EVP_DigestUpdate(ctx.get(), b.data(), b.size()),
                  "EVP_DigestUpdate");
  }
  SecretBytes out(kSha512DigestLen);
  unsigned int len = 0;
  check_openssl(EVP_DigestFinal_ex(ctx.get(), out.data(), &len),
                "EVP_DigestFinal_ex");
  return out;
}

TextResult<SecretBytes> hash(std::string_view algorithm,
                             std::initializer_list<ByteView> buffers) {
  return hash(algorithm, std::span<const ByteView>(buffers.begin(),
                                                   buffers.size()));
}

SecretBytes convert_password_to_key(std::string_view password,
                                    std::string_view algorithm, ByteView salt,
                                    uint64_t spin_count, uint64_t key_bits,
                                    ByteView block_key) {
  uint8_t h[kSha512DigestLen];
  ScopedWipe wipe_h(h, sizeof(h));
  spin_chain(password, algorithm, salt, spin_count, h);
  return finish_key(algorithm, h, key_bits, block_key);
}

std::array<SecretBytes, 3> convert_password_to_keys(
    std::string_view password, std::string_view algorithm, ByteView salt,
    uint64_t spin_count, uint64_t key_bits,
    const std::array<ByteView, 3>& block_keys) {
  uint8_t h[kSha512DigestLen];
  ScopedWipe wipe_h(h, sizeof(h));
  spin_chain(password, algorithm, salt, spin_count, h);
  return {finish_key(algorithm, h, key_bits, block_keys[0]),
          finish_key(algorithm, h, key_bits, block_keys[1]),
          finish_key(algorithm, h, key_bits, block_keys[2])};
}

Bytes create_iv(std::string_view algorithm, ByteView salt, uint64_t block_size,
                ByteView block_key) {
  const SecretBytes digest = unwrap(hash(algorithm, {salt, block_key}));
  return fit_to_length<Bytes>(digest, static_cast<size_t>(block_size));
}

}  // namespace cellvault
