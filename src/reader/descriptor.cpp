// The EncryptionInfo version header, and the Standard encryption's binary
// header and verifier ([MS-OFFCRYPTO] 2.3.4.5, 2.3.4.6, 2.3.4.9):
//
//   0  4  header size h         4  h  EncryptionHeader:
//                                        0 flags     4 size extra (0)
//                                        8 AlgID    12 AlgIDHash
//                                       16 key bits 20 provider type
//                                       24 reserved 28 reserved (0)
//                                       32 CSP name, UTF-16, zero-terminated
//   4+h     4  salt size (16)   8+h 16  salt
//   24+h   16  encrypted verifier
//   40+h    4  verifier hash size (20)
//   44+h   32  encrypted verifier hash (AES pads the 20 bytes to 32)

#include "reader/descriptor.h"

#include <cstdio>
#include <string>

#include "common/bytes.h"

namespace cellvault::reader {

namespace {

constexpr uint32_t kFlagCryptoApi = 0x04;
constexpr uint32_t kFlagExternal = 0x10;
constexpr uint32_t kFlagAes = 0x20;
constexpr size_t kHeaderFixedLen = 8 * 4;
constexpr size_t kStandardSaltLen = 16;
constexpr size_t kStandardVerifierLen = 16;
constexpr size_t kSha1Len = 20;
constexpr size_t kStandardVerifierHashLen = 32;
constexpr size_t kVerifierLen = 4 + kStandardSaltLen + kStandardVerifierLen + 4 + kStandardVerifierHashLen;

constexpr uint32_t kAlgAes128 = 0x660E;
constexpr uint32_t kAlgAes192 = 0x660F;
constexpr uint32_t kAlgAes256 = 0x6610;
constexpr uint32_t kAlgRc4 = 0x6801;
constexpr uint32_t kAlgSha1 = 0x8004;

ReadError damaged(std::string what) { return ReadError::damaged_descriptor(std::move(what)); }

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%04X", static_cast<unsigned>(v));
  return buf;
}

}  // namespace

std::string hash_display_name(HashAlg alg) {
  // "SHA512" is written "SHA-512" in messages.
  const std::string_view name = hash_algorithm(alg).name;
  return std::string(name.substr(0, 3)) + "-" + std::string(name.substr(3));
}

ReadResult<Descriptor> parse_encryption_info(ByteView stream) {
  if (stream.size() < kInfoHeaderLen) {
    return Err{damaged("EncryptionInfo holds " + std::to_string(stream.size()) +
                       " bytes, too few for its version header")};
  }
  const uint16_t major = load_u16le(stream.data());
  const uint16_t minor = load_u16le(stream.data() + 2);
  const uint32_t flags = load_u32le(stream.data() + 4);
  const ByteView body = stream.subspan(kInfoHeaderLen);
  const std::string version = std::to_string(major) + "." + std::to_string(minor);
  if (major == kInfoVersionMajor && minor == kInfoVersionMinor) {
    if (flags != kInfoFlags) {
      return Err{damaged("Agile EncryptionInfo with flags " + hex32(flags) + ", not 0x0040")};
    }
    CV_TRY_ASSIGN(AgileDescriptor agile, parse_agile_xml(body));
    return Descriptor(std::move(agile));
  }
  if (minor == 2 && major >= 2 && major <= 4) {
    CV_TRY_ASSIGN(StandardDescriptor standard, parse_standard(body, flags));
    return Descriptor(std::move(standard));
  }
  if (minor == 3 && (major == 3 || major == 4)) {
    return Err{ReadError::unsupported("extensible encryption (EncryptionInfo version " + version +
                                      ")")};
  }
  return Err{ReadError::unsupported("EncryptionInfo version " + version)};
}

ReadResult<StandardDescriptor> parse_standard(ByteView body, uint32_t flags) {
  if (flags & kFlagExternal) {
    return Err{ReadError::unsupported("extensible encryption (the external flag is set)")};
  }
  if (!(flags & kFlagCryptoApi)) {
    return Err{damaged("Standard EncryptionInfo without the CryptoAPI flag (flags " +
                       hex32(flags) + ")")};
  }
  if (!(flags & kFlagAes)) return Err{ReadError::unsupported("RC4 CryptoAPI encryption")};
  if (body.size() < 4) return Err{damaged("Standard EncryptionInfo ends before its header size")};
  const uint32_t header_len = load_u32le(body.data());
  if (header_len < kHeaderFixedLen || header_len > body.size() - 4 ||
      body.size() - 4 - header_len < kVerifierLen) {
    return Err{damaged("Standard EncryptionInfo's header size " + std::to_string(header_len) +
                       " does not fit its " + std::to_string(body.size() + kInfoHeaderLen) +
                       " bytes")};
  }
  const uint8_t* h = body.data() + 4;
  const uint32_t alg = load_u32le(h + 8);
  const uint32_t alg_hash = load_u32le(h + 12);
  const uint32_t key_bits = load_u32le(h + 16);
  if (alg == kAlgRc4) return Err{ReadError::unsupported("RC4 CryptoAPI encryption")};
  size_t want_bits;
  switch (alg) {
    case 0:  // the AES flag alone means AES-128
    case kAlgAes128: want_bits = 128; break;
    case kAlgAes192: want_bits = 192; break;
    case kAlgAes256: want_bits = 256; break;
    default:
      return Err{ReadError::unsupported("Standard encryption with algorithm id " + hex32(alg))};
  }
  if (key_bits != want_bits) {
    return Err{damaged("Standard EncryptionInfo gives " + std::to_string(key_bits) +
                       "-bit keys for AES-" + std::to_string(want_bits))};
  }
  if (alg_hash != 0 && alg_hash != kAlgSha1) {
    return Err{ReadError::unsupported("Standard encryption with hash algorithm id " +
                                      hex32(alg_hash))};
  }
  const uint8_t* v = h + header_len;
  if (load_u32le(v) != kStandardSaltLen) {
    return Err{damaged("Standard verifier salt size " + std::to_string(load_u32le(v)) +
                       ", not 16")};
  }
  const uint32_t verifier_hash_len = load_u32le(v + 4 + kStandardSaltLen + kStandardVerifierLen);
  if (verifier_hash_len != kSha1Len) {
    return Err{damaged("Standard verifier hash size " + std::to_string(verifier_hash_len) +
                       ", not 20")};
  }
  StandardDescriptor d;
  d.key_bits = want_bits;
  const uint8_t* p = v + 4;
  d.salt.assign(p, p + kStandardSaltLen);
  p += kStandardSaltLen;
  d.encrypted_verifier.assign(p, p + kStandardVerifierLen);
  p += kStandardVerifierLen + 4;
  d.encrypted_verifier_hash.assign(p, p + kStandardVerifierHashLen);
  return d;
}

std::string describe_descriptor(const Descriptor& d) {
  if (const auto* a = std::get_if<AgileDescriptor>(&d)) {
    return "Agile, AES-" + std::to_string(a->key_data.key_bits) + "-CBC, " +
           hash_display_name(a->key_data.hash) + ", " + std::to_string(a->spin_count) +
           " spins";
  }
  const auto& s = std::get<StandardDescriptor>(d);
  return "Standard, AES-" + std::to_string(s.key_bits) + "-ECB, SHA-1, 50000 spins";
}

}  // namespace cellvault::reader
