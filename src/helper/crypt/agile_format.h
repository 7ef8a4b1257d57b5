// The facts of the Agile encryption format ([MS-OFFCRYPTO] 2.3.4.10 to
// 2.3.4.15) that its writer and its reader share: the names and sizes of
// the algorithms that a descriptor may name, the block keys, the layout of
// the two streams and the descriptor's namespaces.
//
// Only what the format fixes is here. What cellvault chooses to write
// (AES-256, SHA-512, 100000 spins) is decided by the encryption driver.

#ifndef CELLVAULT_HELPER_CRYPT_AGILE_FORMAT_H_
#define CELLVAULT_HELPER_CRYPT_AGILE_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cellvault {

// The streams of an encrypted package's container.
inline constexpr std::string_view kEncryptionInfoStream = "EncryptionInfo";
inline constexpr std::string_view kEncryptedPackageStream = "EncryptedPackage";

// A hash algorithm as the descriptor's hashAlgorithm names it; its digest
// length is the descriptor's hashSize.
struct HashAlgorithm {
  std::string_view name;
  size_t digest_len;
};
inline constexpr HashAlgorithm kSha1 = {"SHA1", 20};
inline constexpr HashAlgorithm kSha256 = {"SHA256", 32};
inline constexpr HashAlgorithm kSha384 = {"SHA384", 48};
inline constexpr HashAlgorithm kSha512 = {"SHA512", 64};
inline constexpr std::array<HashAlgorithm, 4> kHashAlgorithms = {
    kSha1, kSha256, kSha384, kSha512};

// The cipher (cipherAlgorithm) and its chaining (cipherChaining): AES
// (FIPS 197) in CBC mode. The descriptor's blockSize is the AES block; its
// keyBits one of the AES key lengths.
inline constexpr std::string_view kCipherAes = "AES";
inline constexpr std::string_view kChainingCbc = "ChainingModeCBC";
inline constexpr size_t kAesBlockLen = 16;
inline constexpr std::array<size_t, 3> kAesKeyBits = {128, 192, 256};

// The block keys of [MS-OFFCRYPTO] 2.3.4.13 and 2.3.4.14, in the order in
// which they are hashed. The first three tell the password keys apart (the
// keys that encrypt the package key, the verifier hash input and the
// verifier hash value); the last two make the IVs that encrypt the HMAC key
// and the HMAC value.
inline constexpr std::array<uint8_t, 8> kBlockKeyEncryptedKeyValue = {
    0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6};
inline constexpr std::array<uint8_t, 8> kBlockKeyVerifierHashInput = {
    0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79};
inline constexpr std::array<uint8_t, 8> kBlockKeyVerifierHashValue = {
    0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e};
inline constexpr std::array<uint8_t, 8> kBlockKeyIntegrityKey = {
    0x5f, 0xb2, 0xad, 0x01, 0x0c, 0xb9, 0xe1, 0xf6};
inline constexpr std::array<uint8_t, 8> kBlockKeyIntegrityValue = {
    0xa0, 0x67, 0x7f, 0x02, 0xb2, 0x2c, 0x84, 0x33};

// "EncryptedPackage": the plain length as LE64, then the package in
// segments of 4096 plain bytes, segment k encrypted on its own under the
// IV made with the block key LE32(k); the last segment is zero-padded to
// the cipher block.
inline constexpr size_t kStreamSizeLen = 8;
inline constexpr size_t kSegmentLen = 4096;

// "EncryptionInfo" starts with its version, major 4 and minor 4 (LE16
// each), and the flags 0x40 (LE32): the Agile form. The XML descriptor
// follows.
inline constexpr uint16_t kInfoVersionMajor = 4;
inline constexpr uint16_t kInfoVersionMinor = 4;
inline constexpr uint32_t kInfoFlags = 0x40;
inline constexpr size_t kInfoHeaderLen = 2 + 2 + 4;

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

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_AGILE_FORMAT_H_
