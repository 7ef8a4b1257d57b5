#include "helper/crypt/encryption_info.h"

#include <string>

#include "helper/crypt/base64.h"
#include "helper/crypt/crypt.h"
#include "writer/driver.h"

namespace cellvault {
namespace {

std::string decimal(size_t v) { return std::to_string(v); }

}  // namespace

Bytes build_encryption_info(
    ByteView key_data_salt, size_t key_data_block_size,
    size_t key_data_key_bits, size_t key_data_hash_size,
    std::string_view key_data_cipher_algorithm,
    std::string_view key_data_cipher_chaining,
    std::string_view key_data_hash_algorithm, ByteView encrypted_hmac_key,
    ByteView encrypted_hmac_value, size_t spin_count,
    ByteView key_encryptor_salt, size_t key_encryptor_block_size,
    size_t key_encryptor_key_bits, size_t key_encryptor_hash_size,
    std::string_view key_encryptor_cipher_algorithm,
    std::string_view key_encryptor_cipher_chaining,
    std::string_view key_encryptor_hash_algorithm,
    ByteView encrypted_verifier_hash_input,
    ByteView encrypted_verifier_hash_value, ByteView encrypted_key_value) {
  XmlWriter w;
  w.write_declaration("1.0", "UTF-8", "yes");
  w.write_text("\r\n");
  write_start_tag(w, "encryption",
                  {{"xmlns", std::string(kEncryptionNamespace)},
                   {"xmlns:p", std::string(kPasswordNamespace)},
                   {"xmlns:c", std::string(kCertificateNamespace)}},
                  false);
  write_start_tag(
      w, "keyData",
      {{"saltSize", decimal(key_data_salt.size())},
       {"blockSize", decimal(key_data_block_size)},
       {"keyBits", decimal(key_data_key_bits)},
       {"hashSize", decimal(key_data_hash_size)},
       {"cipherAlgorithm", std::string(key_data_cipher_algorithm)},
       {"cipherChaining", std::string(key_data_cipher_chaining)},
       {"hashAlgorithm", std::string(key_data_hash_algorithm)},
       {"saltValue", base64_encode(key_data_salt)}},
      true);
  write_start_tag(w, "dataIntegrity",
                  {{"encryptedHmacKey", base64_encode(encrypted_hmac_key)},
                   {"encryptedHmacValue", base64_encode(encrypted_hmac_value)}},
                  true);
  write_start_tag(w, "keyEncryptors", {}, false);
  write_start_tag(w, "keyEncryptor",
                  {{"uri", std::string(kPasswordNamespace)}}, false);
  write_start_tag(
      w, "p:encryptedKey",
      {{"spinCount", decimal(spin_count)},
       {"saltSize", decimal(key_encryptor_salt.size())},
       {"blockSize", decimal(key_encryptor_block_size)},
       {"keyBits", decimal(key_encryptor_key_bits)},
       {"hashSize", decimal(key_encryptor_hash_size)},
       {"cipherAlgorithm", std::string(key_encryptor_cipher_algorithm)},
       {"cipherChaining", std::string(key_encryptor_cipher_chaining)},
       {"hashAlgorithm", std::string(key_encryptor_hash_algorithm)},
       {"saltValue", base64_encode(key_encryptor_salt)},
       {"encryptedVerifierHashInput",
        base64_encode(encrypted_verifier_hash_input)},
       {"encryptedVerifierHashValue",
        base64_encode(encrypted_verifier_hash_value)},
       {"encryptedKeyValue", base64_encode(encrypted_key_value)}},
      true);
  w.write_end_tag("keyEncryptor");
  w.write_end_tag("keyEncryptors");
  w.write_end_tag("encryption");

  uint8_t header[kInfoHeaderLen];
  store_u16le(header, kInfoVersionMajor);
  store_u16le(header + 2, kInfoVersionMinor);
  store_u32le(header + 4, kInfoFlags);
  return buffer_concat({ByteView(header, sizeof(header)), w.buffer()});
}

}  // namespace cellvault
