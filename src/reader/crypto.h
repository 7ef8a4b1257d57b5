// The cryptography of reading: digests and HMAC with the hash that a
// descriptor names, the two password key derivations, and AES decryption
// in CBC (Agile) and ECB (Standard) mode.
//
// These are OpenSSL's primitives under the reader's parameters. The
// writer's helpers are SHA-512 and AES-256 only and encrypt only; the
// reader takes what other writers choose. Failures of OpenSSL itself (it
// fails only when out of memory or misconfigured) abort the call, as in
// the writer.

#ifndef CELLVAULT_READER_CRYPTO_H_
#define CELLVAULT_READER_CRYPTO_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/secure.h"
#include "helper/crypt/ossl.h"
#include "reader/descriptor.h"

namespace cellvault::reader {

// digest returns the hash of the concatenation of |parts|.
SecretBytes digest(HashAlg alg, std::initializer_list<ByteView> parts);

// agile_iterated_hash returns H_n of the Agile password key derivation
// ([MS-OFFCRYPTO] 2.3.4.11): H_0 = H(salt || password), H_i = H(LE32(i-1)
// || H_{i-1}) for i = 1 .. spins. |password| is UTF-16LE.
SecretBytes agile_iterated_hash(HashAlg alg, ByteView salt, ByteView password, uint32_t spins);

// agile_key finishes a derivation for one block key: H(H_n || block_key)
// fitted to |key_len| bytes (cut, or padded with 0x36).
SecretBytes agile_key(HashAlg alg, ByteView iterated, ByteView block_key, size_t key_len);

// agile_iv is H(salt || block_key) fitted to 16 bytes; with an empty
// block key, the salt itself fitted to 16 bytes.
Bytes agile_iv(HashAlg alg, ByteView salt, ByteView block_key);

// standard_key derives the Standard encryption's key ([MS-OFFCRYPTO]
// 2.3.4.7): 50000 SHA-1 spins, block 0, then the two-hash expansion, cut
// to |key_len| bytes.
SecretBytes standard_key(ByteView salt, ByteView password, size_t key_len);

// AesDecryptor decrypts whole 16-byte blocks under one key (16, 24 or 32
// bytes), keeping the key schedule between calls.
class AesDecryptor {
 public:
  enum class Mode { kCbc, kEcb };
  AesDecryptor(ByteView key, Mode mode);

  // decrypt writes the plaintext of |in| (a multiple of 16 bytes) to
  // |out| (as long as |in|; it may be |in| itself). |iv| is 16 bytes in
  // CBC mode and ignored in ECB mode.
  void decrypt(ByteView iv, ByteView in, std::span<uint8_t> out);

 private:
  EvpCipherCtx ctx_;
};

// decrypt_value decrypts a short value of the descriptor in CBC mode.
SecretBytes decrypt_value(ByteView key, ByteView iv, ByteView in);

// Digest hashes data given piece by piece.
class Digest {
 public:
  explicit Digest(HashAlg alg);
  void update(ByteView data);
  SecretBytes finish();

 private:
  HashAlg alg_;
  EvpMdCtx ctx_;
};

// Hmac computes HMAC (RFC 2104) with |alg| over data given piece by piece.
class Hmac {
 public:
  Hmac(HashAlg alg, ByteView key);
  void update(ByteView data);
  SecretBytes finish();

 private:
  HashAlg alg_;
  EvpMdCtx inner_;
  SecretBytes outer_pad_;
};

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_CRYPTO_H_
