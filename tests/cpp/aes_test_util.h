// The oracles of the AES tests: NIST SP 800-38A F.2.5 (CBC-AES256), and
// OpenSSL's EVP AES-256-CBC and SHA512() driven directly.

#ifndef CELLVAULT_TESTS_CPP_AES_TEST_UTIL_H_
#define CELLVAULT_TESTS_CPP_AES_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <memory>
#include <string>

#include "bytes_test_util.h"

namespace cellvault::testing {

// NIST SP 800-38A F.2.5, CBC-AES256.Encrypt.
inline const Bytes kNistKey =
    unhex("603deb1015ca71be2b73aef0857d7781 1f352c073b6108d72d9810a30914dff4");
inline const Bytes kNistIv = unhex("000102030405060708090a0b0c0d0e0f");
inline const Bytes kNistPlain = unhex(
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
inline const std::string kNistCipher =
    "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
    "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b";

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// evp_aes256_cbc runs OpenSSL's AES-256-CBC without padding over |in|, a
// whole number of blocks: encryption when |encrypt|, else decryption.
inline Bytes evp_aes256_cbc(bool encrypt, ByteView key, ByteView iv,
                            ByteView in) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  Bytes out(in.size());
  int len = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(),
                              iv.data(), encrypt ? 1 : 0),
            1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  if (in.empty()) return out;
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(),
                             static_cast<int>(in.size())),
            1);
  EXPECT_EQ(static_cast<size_t>(len), in.size());
  return out;
}

// segment_iv is the first 16 bytes of SHA-512(salt || k as LE32).
inline Bytes segment_iv(ByteView salt, uint32_t k) {
  Bytes msg(salt.begin(), salt.end());
  const uint8_t le[4] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8),
                         static_cast<uint8_t>(k >> 16),
                         static_cast<uint8_t>(k >> 24)};
  msg.insert(msg.end(), le, le + 4);
  uint8_t digest[SHA512_DIGEST_LENGTH];
  SHA512(msg.data(), msg.size(), digest);
  return Bytes(digest, digest + 16);
}

}  // namespace cellvault::testing

#endif  // CELLVAULT_TESTS_CPP_AES_TEST_UTIL_H_
