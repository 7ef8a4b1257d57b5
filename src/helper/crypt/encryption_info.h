// The "EncryptionInfo" stream: the version header and the XML encryption
// descriptor of the Agile encryption ([MS-OFFCRYPTO] 2.3.4.10).

#ifndef CELLVAULT_HELPER_CRYPT_ENCRYPTION_INFO_H_
#define CELLVAULT_HELPER_CRYPT_ENCRYPTION_INFO_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/bytes.h"

namespace cellvault {

// The namespaces that [MS-OFFCRYPTO] defines for the descriptor, the
// password key encryptor and the certificate key encryptor.
inline constexpr std::string_view kEncryptionNamespace =
    "http://schemas.microsoft.com/office/2006/encryption";
inline constexpr std::string_view kPasswordNamespace =
    "http://schemas.microsoft.com/office/2006/keyEncryptor/password";
inline constexpr std::string_view kCertificateNamespace =
    "http://schemas.microsoft.com/office/2006/keyEncryptor/certificate";
static_assert(kEncryptionNamespace.size() == 51);
static_assert(kPasswordNamespace.size() == 62);
static_assert(kCertificateNamespace.size() == 65);

// The 8-byte version header: major 4, minor 4 (LE16 each), flags 0x40
// (LE32), the Agile form of the stream.
inline constexpr uint16_t kInfoVersionMajor = 4;
inline constexpr uint16_t kInfoVersionMinor = 4;
inline constexpr uint32_t kInfoFlags = 0x40;
inline constexpr size_t kInfoHeaderLen = 2 + 2 + 4;

// build_encryption_info returns the whole "EncryptionInfo" stream: the
// version header, then the UTF-8 XML descriptor (declaration, CR LF, the
// encryption element with keyData, dataIntegrity and one password
// keyEncryptor), with no trailing line break. Sizes are written in
// decimal, byte buffers in Base64; each saltSize is the length of the salt
// buffer itself. Attribute values are escaped. It cannot fail.
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
    ByteView encrypted_verifier_hash_value, ByteView encrypted_key_value);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_ENCRYPTION_INFO_H_
