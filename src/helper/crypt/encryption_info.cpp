#include "helper/crypt/encryption_info.h"

#include <string>
#include <vector>

#include "helper/crypt/base64.h"
#include "helper/crypt/crypt.h"
#include "writer/driver.h"

namespace cellvault {
namespace {

std::string decimal(size_t v) { return std::to_string(v); }

// add_cipher_params appends the attributes of |p| in the order in which
// keyData and the password key encryptor both carry them.
void add_cipher_params(std::vector<XmlAttribute>& attributes,
                       const CipherParams& p) {
  attributes.insert(attributes.end(),
                    {{"saltSize", decimal(p.salt.size())},
                     {"blockSize", decimal(p.block_size)},
                     {"keyBits", decimal(p.key_bits)},
                     {"hashSize", decimal(p.hash_size)},
                     {"cipherAlgorithm", std::string(p.cipher_algorithm)},
                     {"cipherChaining", std::string(p.cipher_chaining)},
                     {"hashAlgorithm", std::string(p.hash_algorithm)},
                     {"saltValue", base64_encode(p.salt)}});
}

}  // namespace

Bytes build_encryption_info(const EncryptionInfoInputs& in) {
  XmlWriter w;
  w.write_declaration("1.0", "UTF-8", "yes");
  w.write_text("\r\n");
  write_start_tag(w, "encryption",
                  {{"xmlns", std::string(kEncryptionNamespace)},
                   {"xmlns:p", std::string(kPasswordNamespace)},
                   {"xmlns:c", std::string(kCertificateNamespace)}},
                  false);
  std::vector<XmlAttribute> key_data;
  add_cipher_params(key_data, in.key_data);
  write_start_tag(w, "keyData", key_data, true);
  write_start_tag(
      w, "dataIntegrity",
      {{"encryptedHmacKey", base64_encode(in.encrypted_hmac_key)},
       {"encryptedHmacValue", base64_encode(in.encrypted_hmac_value)}},
      true);
  write_start_tag(w, "keyEncryptors", {}, false);
  write_start_tag(w, "keyEncryptor",
                  {{"uri", std::string(kPasswordNamespace)}}, false);
  std::vector<XmlAttribute> key{{"spinCount", decimal(in.spin_count)}};
  add_cipher_params(key, in.key_encryptor);
  key.insert(key.end(),
             {{"encryptedVerifierHashInput",
               base64_encode(in.encrypted_verifier_hash_input)},
              {"encryptedVerifierHashValue",
               base64_encode(in.encrypted_verifier_hash_value)},
              {"encryptedKeyValue", base64_encode(in.encrypted_key_value)}});
  write_start_tag(w, "p:encryptedKey", key, true);
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
