// The "EncryptionInfo" stream read back: which encryption a file uses and
// the parameters and encrypted values that unlock it.
//
// The stream starts with a version header: major and minor version (LE16
// each) and flags (LE32). Version 4.4 with flags 0x40 is the Agile
// encryption, whose parameters follow as an XML descriptor
// ([MS-OFFCRYPTO] 2.3.4.10); versions 2.2, 3.2 and 4.2 are the Standard
// encryption (2.3.4.5) when the AES flag is set, and RC4 CryptoAPI
// encryption otherwise; 3.3 and 4.3 are the extensible encryption.
//
// Every value is checked here, before any key is derived: lengths against
// the algorithms, salts against their sizes, and the spin count against
// kMaxSpinCount, so that the rest of the reader works with values it can
// trust to be in range.

#ifndef CELLVAULT_READER_DESCRIPTOR_H_
#define CELLVAULT_READER_DESCRIPTOR_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "common/bytes.h"
#include "helper/crypt/agile_format.h"
#include "reader/error.h"

namespace cellvault::reader {

// The most spins the reader runs. Office suites and the other tools write
// 100000 (cellvault too). The cap is a hundred times that, which is also
// the largest spin count that the descriptor's schema allows
// ([MS-OFFCRYPTO] 2.3.4.10, ST_SpinCount): a writer that chooses more than
// usual is still read, at a cost of a few seconds per password try at
// most, while a value such as 4 billion, which would keep a reader busy for
// hours on a file made to stall it, is refused before any work.
inline constexpr uint32_t kMaxSpinCount = 10'000'000;
// The EncryptionInfo stream is a few kilobytes even with certificates;
// anything above this is refused before it is read.
inline constexpr size_t kMaxEncryptionInfoLen = 1 << 20;
// Salts of the Agile descriptor: it allows 1 to 65536 bytes; writers use 16.
inline constexpr size_t kMaxSaltLen = 65536;

// A hash algorithm that the reader implements, in the order of
// kHashAlgorithms (agile_format.h), which gives its name and length.
enum class HashAlg { kSha1, kSha256, kSha384, kSha512 };

inline const HashAlgorithm& hash_algorithm(HashAlg alg) {
  return kHashAlgorithms[static_cast<size_t>(alg)];
}
inline size_t hash_len(HashAlg alg) { return hash_algorithm(alg).digest_len; }
// hash_display_name is the name in messages ("SHA-512").
std::string hash_display_name(HashAlg alg);

// The cipher parameters that keyData and a password key encryptor share:
// always AES in CBC mode with 16-byte blocks.
struct AgileCipher {
  size_t key_bits = 0;  // 128, 192 or 256
  HashAlg hash = HashAlg::kSha512;
  Bytes salt;
};

struct AgileDescriptor {
  AgileCipher key_data;
  // dataIntegrity: the HMAC key and value, encrypted under the package
  // key; absent from files whose writer did not add it.
  struct Integrity {
    Bytes encrypted_hmac_key;
    Bytes encrypted_hmac_value;
  };
  std::optional<Integrity> integrity;
  // The password key encryptor.
  AgileCipher password;
  uint32_t spin_count = 0;
  Bytes encrypted_verifier_hash_input;
  Bytes encrypted_verifier_hash_value;
  Bytes encrypted_key_value;
};

// Standard encryption: AES in ECB mode, keys derived with SHA-1 and 50000
// spins, no integrity value.
struct StandardDescriptor {
  size_t key_bits = 0;  // 128, 192 or 256
  Bytes salt;                     // 16 bytes
  Bytes encrypted_verifier;       // 16 bytes
  Bytes encrypted_verifier_hash;  // 32 bytes: the 20-byte SHA-1 padded
};

using Descriptor = std::variant<AgileDescriptor, StandardDescriptor>;

// parse_encryption_info reads a whole EncryptionInfo stream. Errors:
// damaged_descriptor naming the field (missing, duplicated, of the wrong
// length, out of range, Base64 that does not decode, XML that is not well
// formed), or unsupported naming the encryption or algorithm.
ReadResult<Descriptor> parse_encryption_info(ByteView stream);

// parse_agile_xml reads the XML descriptor of the Agile encryption (the
// stream after its 8-byte version header).
ReadResult<AgileDescriptor> parse_agile_xml(ByteView xml);

// parse_standard reads the Standard encryption's header and verifier (the
// stream after its version and flags).
ReadResult<StandardDescriptor> parse_standard(ByteView body, uint32_t flags);

// describe_descriptor names the encryption and its parameters for a
// report, e.g. "Agile, AES-256-CBC, SHA-512, 100000 spins".
std::string describe_descriptor(const Descriptor& d);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_DESCRIPTOR_H_
