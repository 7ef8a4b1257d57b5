// The descriptor reader: Base64, the Agile XML with every value it must
// refuse, and the Standard binary form.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "crypto_test_util.h"
#include "helper/crypt/base64.h"
#include "reader/descriptor.h"
#include "reader_test_util.h"

namespace cellvault::reader {
namespace {

using cellvault::testing::unhex;
using cellvault::testing::view;
using testing::outcome;

TEST(Base64DecodeTest, Rfc4648VectorsAndWhatIsRefused) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"}};
  for (const auto& [text, plain] : vectors) {
    std::optional<Bytes> got = base64_decode(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(std::string(got->begin(), got->end()), plain);
  }
  EXPECT_EQ(base64_decode("+/+/")->size(), 3u);
  for (const char* bad : {"Zg=", "Zg", "Zm9v\n", " Zm9v", "Zm9", "Z===", "====", "Zg==Zg==",
                          "Zh==", "Zm9=", "Zm-v", "Zm9v!AAA"}) {
    EXPECT_FALSE(base64_decode(bad).has_value()) << bad;
  }
}

constexpr char kSalt16[] = "AAECAwQFBgcICQoLDA0ODw==";
const std::string kZero32 = std::string(43, 'A') + "=";
const std::string kZero64 = std::string(86, 'A') + "==";

// agile builds a descriptor like the one cellvault writes, with |edit|
// applied to its XML (a replacement of the first |from| by |to|).
Bytes agile(std::string_view from = "", std::string_view to = "") {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\" "
      "xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
      "<keyData saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" "
      "cipherAlgorithm=\"AES\" cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" "
      "saltValue=\"" + std::string(kSalt16) + "\"/>"
      "<dataIntegrity encryptedHmacKey=\"" + kZero64 + "\" encryptedHmacValue=\"" + kZero64 +
      "\"/>"
      "<keyEncryptors><keyEncryptor "
      "uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
      "<p:encryptedKey spinCount=\"100000\" saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" "
      "hashSize=\"64\" cipherAlgorithm=\"AES\" cipherChaining=\"ChainingModeCBC\" "
      "hashAlgorithm=\"SHA512\" saltValue=\"" + std::string(kSalt16) + "\" "
      "encryptedVerifierHashInput=\"" + std::string(kSalt16) + "\" "
      "encryptedVerifierHashValue=\"" + kZero64 + "\" encryptedKeyValue=\"" + kZero32 + "\"/>"
      "</keyEncryptor></keyEncryptors></encryption>";
  if (!from.empty()) {
    const size_t at = xml.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) xml.replace(at, from.size(), to);
  }
  Bytes out = unhex("0400 0400 40000000");
  out.insert(out.end(), xml.begin(), xml.end());
  return out;
}

std::string parse(const Bytes& stream) { return outcome(parse_encryption_info(stream)); }

TEST(AgileDescriptorTest, ReadsEveryValue) {
  ReadResult<Descriptor> d = parse_encryption_info(agile());
  ASSERT_TRUE(d.ok()) << outcome(d);
  const auto& a = std::get<AgileDescriptor>(*d);
  EXPECT_EQ(a.key_data.key_bits, 256u);
  EXPECT_EQ(a.key_data.hash, HashAlg::kSha512);
  EXPECT_EQ(cellvault::testing::hex(a.key_data.salt), "000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(a.spin_count, 100000u);
  ASSERT_TRUE(a.integrity.has_value());
  EXPECT_EQ(a.integrity->encrypted_hmac_value.size(), 64u);
  EXPECT_EQ(a.encrypted_key_value.size(), 32u);
  EXPECT_EQ(describe_descriptor(*d), "Agile, AES-256-CBC, SHA-512, 100000 spins");
}

TEST(AgileDescriptorTest, OtherHashesKeySizesAndNoIntegrity) {
  const std::string sha1 = parse(agile("<keyData saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" "
                                       "hashSize=\"64\"",
                                       "<keyData saltSize=\"16\" blockSize=\"16\" keyBits=\"128\" "
                                       "hashSize=\"20\""));
  // keyData now says SHA512 with 20 bytes: refused by name and size.
  EXPECT_EQ(sha1,
            "damaged-descriptor: damaged encryption descriptor: keyData hashSize 20 does not "
            "match SHA512 (64 bytes)");
  Bytes no_integrity = agile("<dataIntegrity", "<dataIntegrityX");
  ReadResult<Descriptor> d = parse_encryption_info(no_integrity);
  ASSERT_TRUE(d.ok()) << outcome(d);
  EXPECT_FALSE(std::get<AgileDescriptor>(*d).integrity.has_value());
}

// Each case edits the good descriptor (the first |from| becomes |to|) and
// names the refusal that follows; a prefix case matches the start only
// (expat's position in the text is its own business).
TEST(AgileDescriptorTest, RefusesMissingDuplicatedAndWrongLengthValues) {
  struct Case {
    std::string from, to, want;
    bool prefix = false;
  };
  const std::string salt_attrs = "blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAl";
  const Case cases[] = {
      {"saltSize=\"16\" blockSize", "blockSize", "keyData has no saltSize"},
      {"<keyData", "<keyData saltSize=\"16\"", "the XML is not well formed: duplicate attribute",
       true},
      {"<keyEncryptors>", "<keyData/><keyEncryptors>", "encryption has more than one keyData"},
      {"<keyData", "<keyDatum", "encryption has no keyData"},
      {"saltSize=\"16\" " + salt_attrs, "saltSize=\"24\" " + salt_attrs,
       "keyData saltValue holds 16 bytes, not 24"},
      {"encryptedKeyValue=\"" + kZero32, "encryptedKeyValue=\"" + kZero64,
       "encryptedKey encryptedKeyValue holds 64 bytes, not 32"},
      {"encryptedHmacKey=\"" + kZero64, "encryptedHmacKey=\"" + kZero32,
       "dataIntegrity encryptedHmacKey holds 32 bytes, not 64"},
      {"saltValue=\"AAEC", "saltValue=\"A%EC", "keyData saltValue is not valid Base64"},
      {"keyBits=\"256\"", "keyBits=\"100\"", "keyData keyBits 100 is not an AES key size"},
      {"saltSize=\"16\"", "saltSize=\"99999999999999999999999\"",
       "keyData saltSize is not a number: \"99999999999999999999999\""},
      {"saltSize=\"16\"", "saltSize=\"70000\"",
       "keyData saltSize is 70000, more than the largest allowed, 65536"},
      {"saltSize=\"16\"", "saltSize=\"-16\"", "keyData saltSize is not a number: \"-16\""},
  };
  const std::string kind = "damaged-descriptor: damaged encryption descriptor: ";
  for (const Case& c : cases) {
    const std::string got = parse(agile(c.from, c.to));
    EXPECT_EQ(c.prefix ? got.substr(0, kind.size() + c.want.size()) : got, kind + c.want)
        << c.from << " -> " << c.to;
  }
}

TEST(AgileDescriptorTest, SpinCountsAboveTheCapAreRefusedAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(parse(agile("spinCount=\"100000\"", "spinCount=\"4000000000\"")),
            "damaged-descriptor: damaged encryption descriptor: encryptedKey spinCount is "
            "4000000000, more than the most the format allows, 10000000 (office suites write "
            "100000)");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(parse(agile("spinCount=\"100000\"", "spinCount=\"10000001\"")).substr(0, 18),
            "damaged-descriptor");
  EXPECT_EQ(parse(agile("spinCount=\"100000\"", "spinCount=\"10000000\"")), "ok");
  EXPECT_EQ(parse(agile("spinCount=\"100000\"", "spinCount=\"18446744073709551616\"")),
            "damaged-descriptor: damaged encryption descriptor: encryptedKey spinCount is "
            "18446744073709551616, more than the largest allowed, 18446744073709551615");
}

TEST(AgileDescriptorTest, NamesWhatItDoesNotSupport) {
  EXPECT_EQ(parse(agile("cipherAlgorithm=\"AES\"", "cipherAlgorithm=\"RC2\"")),
            "unsupported: unsupported encryption: cipher \"RC2\"");
  EXPECT_EQ(parse(agile("ChainingModeCBC", "ChainingModeCFB")),
            "unsupported: unsupported encryption: chaining mode \"ChainingModeCFB\"");
  EXPECT_EQ(parse(agile("hashAlgorithm=\"SHA512\"", "hashAlgorithm=\"MD5\"")),
            "unsupported: unsupported encryption: hash algorithm \"MD5\"");
  EXPECT_EQ(parse(agile("uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\"",
                        "uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/certificate\"")),
            "unsupported: unsupported encryption: the file is locked with a certificate only (no "
            "password key encryptor)");
}

TEST(AgileDescriptorTest, RefusesXmlThatIsMalformedDeepOrDeclaresEntities) {
  EXPECT_EQ(parse(agile("</encryption>", "")),
            "damaged-descriptor: damaged encryption descriptor: the XML is not well formed: "
            "no element found at line 2, column 1135");
  std::string deep = "<a>";
  for (int i = 0; i < 20; ++i) deep += "<a>";
  EXPECT_EQ(parse(agile("<keyEncryptors>", deep + "<keyEncryptors>")),
            "damaged-descriptor: damaged encryption descriptor: the XML nests deeper than 16 "
            "elements");
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "<x/>";
  EXPECT_EQ(parse(agile("<keyEncryptors>", wide + "<keyEncryptors>")),
            "damaged-descriptor: damaged encryption descriptor: the XML holds more than 256 "
            "elements");
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><e>&b;</e>";
  Bytes laugh_stream = unhex("0400 0400 40000000");
  laugh_stream.insert(laugh_stream.end(), laughs.begin(), laughs.end());
  EXPECT_EQ(parse(laugh_stream),
            "damaged-descriptor: damaged encryption descriptor: the XML has a document type "
            "declaration");
  const std::string external =
      "<?xml version=\"1.0\"?><!DOCTYPE e SYSTEM \"file:///etc/passwd\"><e/>";
  Bytes external_stream = unhex("0400 0400 40000000");
  external_stream.insert(external_stream.end(), external.begin(), external.end());
  EXPECT_EQ(parse(external_stream),
            "damaged-descriptor: damaged encryption descriptor: the XML has a document type "
            "declaration");
  EXPECT_EQ(parse(agile("<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\"",
                        "<encryption xmlns=\"urn:other\"")),
            "damaged-descriptor: damaged encryption descriptor: the XML's root element is "
            "\"encryption\", not encryption");
}

// The Standard encryption's header and verifier laid out by hand.
Bytes standard(uint32_t flags = 0x24, uint32_t alg = 0x660E, uint32_t bits = 128) {
  Bytes out = unhex("0300 0200");
  add_u32le(out, flags);
  const std::u16string csp = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
  add_u32le(out, static_cast<uint32_t>(32 + 2 * csp.size() + 2));
  for (uint32_t v : {flags, 0u, alg, 0x8004u, bits, 0x18u, 0u, 0u}) add_u32le(out, v);
  for (char16_t c : csp) add_u16le(out, c);
  add_u16le(out, 0);
  add_u32le(out, 16);
  for (int i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(i));        // salt
  for (int i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(0x40 + i));  // verifier
  add_u32le(out, 20);
  for (int i = 0; i < 32; ++i) out.push_back(static_cast<uint8_t>(0x80 + i));  // hash
  return out;
}

TEST(StandardDescriptorTest, ReadsTheHeaderAndVerifier) {
  ReadResult<Descriptor> d = parse_encryption_info(standard());
  ASSERT_TRUE(d.ok()) << outcome(d);
  const auto& s = std::get<StandardDescriptor>(*d);
  EXPECT_EQ(s.key_bits, 128u);
  EXPECT_EQ(cellvault::testing::hex(s.salt), "000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(s.encrypted_verifier[0], 0x40);
  EXPECT_EQ(s.encrypted_verifier_hash.size(), 32u);
  EXPECT_EQ(s.encrypted_verifier_hash[31], 0x9F);
  EXPECT_EQ(describe_descriptor(*d), "Standard, AES-128-ECB, SHA-1, 50000 spins");
  EXPECT_EQ(parse(standard(0x24, 0x6610, 256)), "ok");
}

TEST(StandardDescriptorTest, RefusesOrNamesWhatItCannotRead) {
  EXPECT_EQ(parse(standard(0x04, 0x6801)),
            "unsupported: unsupported encryption: RC4 CryptoAPI encryption");
  EXPECT_EQ(parse(standard(0x34)),
            "unsupported: unsupported encryption: extensible encryption (the external flag is "
            "set)");
  EXPECT_EQ(parse(standard(0x24, 0x660E, 256)),
            "damaged-descriptor: damaged encryption descriptor: Standard EncryptionInfo gives "
            "256-bit keys for AES-128");
  Bytes extensible = standard();
  extensible[2] = 3;
  EXPECT_EQ(parse(extensible),
            "unsupported: unsupported encryption: extensible encryption (EncryptionInfo version "
            "3.3)");
  Bytes short_stream = standard();
  short_stream.resize(short_stream.size() - 1);
  EXPECT_EQ(parse(short_stream),
            "damaged-descriptor: damaged encryption descriptor: Standard EncryptionInfo's header "
            "size 140 does not fit its 223 bytes");
  Bytes huge = standard();
  store_u32le(&huge[8], 0xFFFFFFF0);
  EXPECT_EQ(parse(huge).substr(0, 72),
            "damaged-descriptor: damaged encryption descriptor: Standard EncryptionIn");
  EXPECT_EQ(parse(unhex("0400 0400")),
            "damaged-descriptor: damaged encryption descriptor: EncryptionInfo holds 4 bytes, "
            "too few for its version header");
  EXPECT_EQ(parse(unhex("0100 0100 00000000")),
            "unsupported: unsupported encryption: EncryptionInfo version 1.1");
}

}  // namespace
}  // namespace cellvault::reader
