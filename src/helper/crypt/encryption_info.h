// The "EncryptionInfo" stream: the version header and the XML encryption
// descriptor of the Agile encryption ([MS-OFFCRYPTO] 2.3.4.10).

#ifndef CELLVAULT_HELPER_CRYPT_ENCRYPTION_INFO_H_
#define CELLVAULT_HELPER_CRYPT_ENCRYPTION_INFO_H_

#include <cstddef>
#include <string_view>

#include "common/bytes.h"
#include "helper/crypt/agile_format.h"

namespace cellvault {

// The parameters that keyData and the password key encryptor both carry,
// in the order of their attributes: saltSize is the salt's length,
// saltValue the salt itself.
struct CipherParams {
  ByteView salt;
  size_t block_size;
  size_t key_bits;
  size_t hash_size;
  std::string_view cipher_algorithm;
  std::string_view cipher_chaining;
  std::string_view hash_algorithm;
};

// The inputs of build_encryption_info, in the order in which the
// descriptor carries them. Fill it with designated initializers: the
// compiler then refuses members out of order and warns about a missing
// one. The views are only read, during the call.
struct EncryptionInfoInputs {
  CipherParams key_data;
  ByteView encrypted_hmac_key;
  ByteView encrypted_hmac_value;
  size_t spin_count;
  CipherParams key_encryptor;
  ByteView encrypted_verifier_hash_input;
  ByteView encrypted_verifier_hash_value;
  ByteView encrypted_key_value;
};

// build_encryption_info returns the whole "EncryptionInfo" stream: the
// version header, then the UTF-8 XML descriptor (declaration, CR LF, the
// encryption element with keyData, dataIntegrity and one password
// keyEncryptor), with no trailing line break. Sizes are written in
// decimal, byte buffers in Base64. Attribute values are escaped. It cannot
// fail.
Bytes build_encryption_info(const EncryptionInfoInputs& in);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_ENCRYPTION_INFO_H_
