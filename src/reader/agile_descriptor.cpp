// The Agile encryption's XML descriptor ([MS-OFFCRYPTO] 2.3.4.10):
//
//   <encryption xmlns=".../2006/encryption">
//     <keyData saltSize blockSize keyBits hashSize cipherAlgorithm
//              cipherChaining hashAlgorithm saltValue/>
//     <dataIntegrity encryptedHmacKey encryptedHmacValue/>      (optional)
//     <keyEncryptors>
//       <keyEncryptor uri=".../keyEncryptor/password">
//         <p:encryptedKey spinCount saltSize ... saltValue
//             encryptedVerifierHashInput encryptedVerifierHashValue
//             encryptedKeyValue/>
//       </keyEncryptor>
//     </keyEncryptors>
//   </encryption>
//
// Numbers are decimal, byte values Base64. Elements of other namespaces and
// unknown elements are passed over; each element the reader uses must be
// there exactly once.

#include <algorithm>
#include <string>
#include <string_view>

#include "helper/crypt/agile_format.h"
#include "helper/crypt/base64.h"
#include "reader/descriptor.h"
#include "reader/xml_tree.h"

namespace cellvault::reader {

namespace {

ReadError damaged(std::string what) { return ReadError::damaged_descriptor(std::move(what)); }

size_t round_up_to_block(size_t n) {
  return (n + kAesBlockLen - 1) / kAesBlockLen * kAesBlockLen;
}

// child_once finds the one child of |parent| named |name| in namespace
// |ns|; none is an error when |required|, two are always one.
ReadResult<const XmlElement*> child_once(const XmlElement& parent, std::string_view ns,
                                         std::string_view name, bool required) {
  const XmlElement* found = nullptr;
  for (const XmlElement& c : parent.children) {
    if (c.ns != ns || c.name != name) continue;
    if (found) return Err{damaged(parent.name + " has more than one " + std::string(name))};
    found = &c;
  }
  if (!found && required) return Err{damaged(parent.name + " has no " + std::string(name))};
  return found;
}

ReadResult<std::string_view> text_of(const XmlElement& e, std::string_view attr) {
  const std::string* v = e.attribute(attr);
  if (!v) return Err{damaged(e.name + " has no " + std::string(attr))};
  return std::string_view(*v);
}

// number_of reads a decimal attribute no greater than |max|.
ReadResult<uint64_t> number_of(const XmlElement& e, std::string_view attr, uint64_t max) {
  CV_TRY_ASSIGN(std::string_view text, text_of(e, attr));
  const std::string where = e.name + " " + std::string(attr);
  if (text.empty() || text.size() > 20) {
    return Err{damaged(where + " is not a number: " + quote(text.substr(0, 40)))};
  }
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return Err{damaged(where + " is not a number: " + quote(text))};
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) {
      return Err{damaged(where + " is " + std::string(text) + ", more than the largest allowed, " +
                         std::to_string(max))};
    }
    v = v * 10 + digit;
  }
  return v;
}

ReadResult<Bytes> bytes_of(const XmlElement& e, std::string_view attr, size_t want_len) {
  CV_TRY_ASSIGN(std::string_view text, text_of(e, attr));
  const std::string where = e.name + " " + std::string(attr);
  std::optional<Bytes> bytes = base64_decode(text);
  if (!bytes) return Err{damaged(where + " is not valid Base64")};
  if (bytes->size() != want_len) {
    return Err{damaged(where + " holds " + std::to_string(bytes->size()) + " bytes, not " +
                       std::to_string(want_len))};
  }
  return std::move(*bytes);
}

ReadResult<HashAlg> hash_of(const XmlElement& e) {
  CV_TRY_ASSIGN(std::string_view name, text_of(e, "hashAlgorithm"));
  size_t index = 0;
  while (index < kHashAlgorithms.size() && kHashAlgorithms[index].name != name) ++index;
  if (index == kHashAlgorithms.size()) {
    return Err{ReadError::unsupported("hash algorithm " + quote(name))};
  }
  const auto alg = static_cast<HashAlg>(index);
  CV_TRY_ASSIGN(uint64_t size, number_of(e, "hashSize", 64));
  if (size != hash_len(alg)) {
    return Err{damaged(e.name + " hashSize " + std::to_string(size) + " does not match " +
                       std::string(name) + " (" + std::to_string(hash_len(alg)) + " bytes)")};
  }
  return alg;
}

// cipher_of reads the attributes that keyData and encryptedKey share.
ReadResult<AgileCipher> cipher_of(const XmlElement& e) {
  AgileCipher c;
  CV_TRY_ASSIGN(std::string_view cipher, text_of(e, "cipherAlgorithm"));
  if (cipher != kCipherAes) return Err{ReadError::unsupported("cipher " + quote(cipher))};
  CV_TRY_ASSIGN(std::string_view chaining, text_of(e, "cipherChaining"));
  if (chaining != kChainingCbc) {
    return Err{ReadError::unsupported("chaining mode " + quote(chaining))};
  }
  CV_TRY_ASSIGN(uint64_t block, number_of(e, "blockSize", 4096));
  if (block != kAesBlockLen) {
    return Err{damaged(e.name + " blockSize " + std::to_string(block) + " is not AES's 16")};
  }
  CV_TRY_ASSIGN(uint64_t bits, number_of(e, "keyBits", 1 << 20));
  if (std::find(kAesKeyBits.begin(), kAesKeyBits.end(), bits) == kAesKeyBits.end()) {
    return Err{damaged(e.name + " keyBits " + std::to_string(bits) + " is not an AES key size")};
  }
  c.key_bits = static_cast<size_t>(bits);
  CV_TRY_ASSIGN(c.hash, hash_of(e));
  CV_TRY_ASSIGN(uint64_t salt_len, number_of(e, "saltSize", kMaxSaltLen));
  if (salt_len == 0) return Err{damaged(e.name + " saltSize is 0")};
  CV_TRY_ASSIGN(c.salt, bytes_of(e, "saltValue", static_cast<size_t>(salt_len)));
  return c;
}

// password_encryptor finds the keyEncryptor of the password kind.
ReadResult<const XmlElement*> password_encryptor(const XmlElement& root) {
  CV_TRY_ASSIGN(const XmlElement* list,
                child_once(root, kEncryptionNamespace, "keyEncryptors", true));
  const XmlElement* found = nullptr;
  bool certificate = false;
  std::string other;
  for (const XmlElement& k : list->children) {
    if (k.ns != kEncryptionNamespace || k.name != "keyEncryptor") continue;
    CV_TRY_ASSIGN(std::string_view uri, text_of(k, "uri"));
    if (uri == kPasswordNamespace) {
      if (found) return Err{damaged("keyEncryptors has more than one password key encryptor")};
      found = &k;
    } else if (uri == kCertificateNamespace) {
      certificate = true;
    } else if (other.empty()) {
      other = std::string(uri);
    }
  }
  if (found) return found;
  if (certificate) {
    return Err{ReadError::unsupported(
        "the file is locked with a certificate only (no password key encryptor)")};
  }
  if (!other.empty()) return Err{ReadError::unsupported("key encryptor " + quote(other))};
  return Err{damaged("keyEncryptors has no keyEncryptor")};
}

}  // namespace

ReadResult<AgileDescriptor> parse_agile_xml(ByteView xml) {
  CV_TRY_ASSIGN(XmlElement root,
                parse_xml(std::string_view(reinterpret_cast<const char*>(xml.data()), xml.size())));
  if (root.ns != kEncryptionNamespace || root.name != "encryption") {
    return Err{damaged("the XML's root element is " + quote(root.name) + ", not encryption")};
  }
  AgileDescriptor d;
  CV_TRY_ASSIGN(const XmlElement* key_data,
                child_once(root, kEncryptionNamespace, "keyData", true));
  CV_TRY_ASSIGN(d.key_data, cipher_of(*key_data));

  CV_TRY_ASSIGN(const XmlElement* holder, password_encryptor(root));
  CV_TRY_ASSIGN(const XmlElement* key,
                child_once(*holder, kPasswordNamespace, "encryptedKey", true));
  CV_TRY_ASSIGN(d.password, cipher_of(*key));
  CV_TRY_ASSIGN(uint64_t spins, number_of(*key, "spinCount", UINT64_MAX));
  if (spins > kMaxSpinCount) {
    return Err{damaged("encryptedKey spinCount is " + std::to_string(spins) +
                       ", more than the most the format allows, " +
                       std::to_string(kMaxSpinCount) + " (office suites write 100000)")};
  }
  d.spin_count = static_cast<uint32_t>(spins);
  // The verifier input is salt-sized, the verifier hash and the package
  // key as long as their hash and key; each is encrypted in whole blocks.
  CV_TRY_ASSIGN(d.encrypted_verifier_hash_input,
                bytes_of(*key, "encryptedVerifierHashInput",
                         round_up_to_block(d.password.salt.size())));
  CV_TRY_ASSIGN(d.encrypted_verifier_hash_value,
                bytes_of(*key, "encryptedVerifierHashValue",
                         round_up_to_block(hash_len(d.password.hash))));
  CV_TRY_ASSIGN(d.encrypted_key_value,
                bytes_of(*key, "encryptedKeyValue", round_up_to_block(d.key_data.key_bits / 8)));

  CV_TRY_ASSIGN(const XmlElement* integrity,
                child_once(root, kEncryptionNamespace, "dataIntegrity", false));
  if (integrity) {
    const size_t len = round_up_to_block(hash_len(d.key_data.hash));
    AgileDescriptor::Integrity i;
    CV_TRY_ASSIGN(i.encrypted_hmac_key, bytes_of(*integrity, "encryptedHmacKey", len));
    CV_TRY_ASSIGN(i.encrypted_hmac_value, bytes_of(*integrity, "encryptedHmacValue", len));
    d.integrity = std::move(i);
  }
  return d;
}

}  // namespace cellvault::reader
