// Unlocking: the reader's cryptography against independent vectors and
// OpenSSL's own HMAC, round trips through cellvault's encryption at the
// package size boundaries with the passwords of the other tests, and files
// changed after they were locked.

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <string>

#include "cfb_test_util.h"
#include "common/package_buffer.h"
#include "crypto_test_util.h"
#include "helper/crypt/encrypt.h"
#include "reader/container.h"
#include "reader/crypto.h"
#include "reader/reader.h"
#include "reader_test_util.h"

namespace cellvault::reader {
namespace {

using cellvault::testing::hex;
using cellvault::testing::unhex;
using cellvault::testing::view;
using testing::outcome;
using testing::pattern;

// The Standard key derivation and verifier of a file made by an office
// suite, as msoffcrypto-tool's documentation quotes them: password
// "Password1234_", AES-128.
TEST(ReaderCryptoTest, StandardKeyAndVerifierOfAPublishedVector) {
  const Bytes salt = unhex("e88266490c5bd1eebd2b4394e3f830ef");
  const SecretBytes key = standard_key(salt, view(std::string_view("P\0a\0s\0s\0w\0o\0r\0d\0"
                                                                   "1\0" "2\0" "3\0" "4\0_\0", 26)),
                                       16);
  EXPECT_EQ(hex(key), "40b13a71f90b966e375408f2d181a1aa");
  AesDecryptor aes(key, AesDecryptor::Mode::kEcb);
  const Bytes enc_verifier = unhex("516f732e966fac17b1c5d7d8cc36c928");
  const Bytes enc_hash = unhex("2b6168dabe2911ad2bd37c1746745c14d3cf1bb140a48f4e6f3d23880872b16a");
  Bytes verifier(16), hash(32);
  aes.decrypt({}, enc_verifier, verifier);
  aes.decrypt({}, enc_hash, hash);
  EXPECT_EQ(hex(digest(HashAlg::kSha1, {verifier})), hex(ByteView(hash).first(20)));
}

// HMAC with every hash, keys shorter than, equal to and longer than the
// block, and the message given in pieces, against OpenSSL's one-shot HMAC.
TEST(ReaderCryptoTest, HmacMatchesOpenSsl) {
  const std::pair<HashAlg, const EVP_MD*> algs[] = {{HashAlg::kSha1, EVP_sha1()},
                                                   {HashAlg::kSha256, EVP_sha256()},
                                                   {HashAlg::kSha384, EVP_sha384()},
                                                   {HashAlg::kSha512, EVP_sha512()}};
  const Bytes message = pattern(10000, 3);
  for (const auto& [alg, md] : algs) {
    for (size_t key_len : {0, 20, 64, 65, 128, 129, 300}) {
      const Bytes key = pattern(key_len, 9);
      unsigned char want[EVP_MAX_MD_SIZE];
      unsigned int want_len = 0;
      HMAC(md, key.data(), static_cast<int>(key.size()), message.data(), message.size(), want,
           &want_len);
      Hmac mac(alg, key);
      mac.update(ByteView(message).first(1));
      mac.update(ByteView(message).subspan(1, 4999));
      mac.update(ByteView(message).subspan(5000));
      EXPECT_EQ(hex(mac.finish()), hex(ByteView(want, want_len)))
          << hash_display_name(alg) << " key " << key_len;
    }
  }
}

// lock writes |data| encrypted under |password| with cellvault's own
// pipeline and returns the file's bytes.
Bytes lock_file(ByteView data, std::string_view password, cfb::Version version = cfb::Version::V4) {
  cfb::testing::TempPath path;
  OutputOptions options;
  options.version = version;
  encrypt(path.path(), PackageBuffer::copy_of(data), password, options);
  return cfb::testing::read_file(path.path());
}

struct Unlocked {
  ReadResult<Report> report;
  Bytes plain;
  size_t pieces = 0;
  size_t largest_piece = 0;
};

Unlocked unlock(const Bytes& file, std::string_view password, DecryptOptions options = {}) {
  MemorySource src(file);
  Unlocked u{Err{ReadError::wrong_password()}, {}, 0, 0};
  const PackageSink sink = [&](ByteView piece) -> ReadResult<void> {
    u.plain.insert(u.plain.end(), piece.begin(), piece.end());
    ++u.pieces;
    u.largest_piece = std::max(u.largest_piece, piece.size());
    return {};
  };
  u.report = decrypt_source(src, password, sink, options);
  return u;
}

class RoundTripTest : public ::testing::TestWithParam<cfb::Version> {};

TEST_P(RoundTripTest, EveryPackageSizeBoundary) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{4095},
                      size_t{4096}, size_t{4097}, size_t{8192}, size_t{8193}, kWindowLen - 1,
                      kWindowLen, kWindowLen + 1, 2 * kWindowLen + 4097}) {
    const Bytes data = pattern(size, static_cast<uint8_t>(size));
    const Bytes file = lock_file(data, "Secret-2026", GetParam());
    const Unlocked u = unlock(file, "Secret-2026");
    ASSERT_TRUE(u.report.ok()) << size << ": " << outcome(u.report);
    EXPECT_TRUE(u.plain == data) << "size " << size;
    EXPECT_EQ(u.report->package_len, size);
    EXPECT_EQ(u.report->integrity, Integrity::kMatches);
    EXPECT_EQ(u.report->container_version, GetParam());
    EXPECT_EQ(u.report->encryption, "Agile, AES-256-CBC, SHA-512, 100000 spins");
    // The package is handed over a window at a time, never whole.
    EXPECT_LE(u.largest_piece, kWindowLen);
    EXPECT_EQ(u.pieces, (size + kWindowLen - 1) / kWindowLen);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, RoundTripTest,
                         ::testing::Values(cfb::Version::V3, cfb::Version::V4));

TEST(ReaderPasswordTest, ThePasswordsOfTheOtherTestsAndTheirNeighbours) {
  std::string long_password = "long-";
  for (int i = 0; i < 3000; ++i) long_password += "\u01C5";
  for (int i = 0; i < 500; ++i) long_password += "\U0001F389";
  const std::string passwords[] = {"", "Secret-2026", "pässwörd-éàç", "机密のパスワード",
                                   "lock🔐😀x", long_password};
  const Bytes data = pattern(5000);
  for (const std::string& password : passwords) {
    const Bytes file = lock_file(data, password);
    const Unlocked right = unlock(file, password);
    ASSERT_TRUE(right.report.ok()) << outcome(right.report);
    EXPECT_TRUE(right.plain == data);
    for (const std::string& wrong : {password + "x", "x" + password, std::string("secret-2026")}) {
      if (wrong == password) continue;
      MemorySource src(file);
      EXPECT_EQ(outcome(verify_source(src, wrong)), "wrong-password: wrong password");
    }
  }
}

// The file offset of byte |k| of stream |name| in regular sectors.
uint64_t stream_offset(const Bytes& file, std::string_view name, uint64_t k) {
  MemorySource src(file);
  ReadResult<Container> c = Container::open(src);
  EXPECT_TRUE(c.ok());
  const uint32_t id = **c->find_root_child(name);
  const uint64_t sector_len = c->sector_len();
  EXPECT_LT(k, sector_len);
  return (uint64_t{c->entries()[id].start} + 1) * sector_len + k;
}

TEST(ReaderTamperTest, ChangedPackagesFailTheIntegrityCheckBeforeAnyOutput) {
  const Bytes data = pattern(10000);
  const Bytes file = lock_file(data, "pw");
  Bytes flipped = file;
  flipped[stream_offset(file, "EncryptedPackage", 100)] ^= 0x01;
  const Unlocked u = unlock(flipped, "pw");
  EXPECT_EQ(outcome(u.report),
            "integrity-mismatch: the file was changed after it was locked (its integrity value "
            "does not match)");
  EXPECT_EQ(u.pieces, 0u);
  // Asked to, the reader decrypts it anyway: only the changed block and
  // the one after it differ.
  DecryptOptions ignore;
  ignore.ignore_integrity = true;
  const Unlocked forced = unlock(flipped, "pw", ignore);
  ASSERT_TRUE(forced.report.ok());
  EXPECT_EQ(forced.report->integrity, Integrity::kNotChecked);
  ASSERT_EQ(forced.plain.size(), data.size());
  size_t differ = 0;
  for (size_t i = 0; i < data.size(); ++i) differ += forced.plain[i] != data[i];
  EXPECT_GE(differ, 1u);
  EXPECT_LE(differ, 17u);
  // The size field is covered by the HMAC too: a smaller one is a change.
  Bytes shorter = file;
  shorter[stream_offset(file, "EncryptedPackage", 0)] ^= 0x10;
  EXPECT_EQ(unlock(shorter, "pw").report.error().kind(), ReadErrorKind::kIntegrityMismatch);
  Bytes longer = file;
  longer[stream_offset(file, "EncryptedPackage", 2)] = 0x7F;
  EXPECT_EQ(outcome(unlock(longer, "pw").report),
            "damaged-container: damaged container: EncryptedPackage says the package holds "
            "8333072 bytes but its stream holds only 10000 encrypted bytes");
}

// find_text returns the offset of |text| in |file| (the descriptor's XML
// lies in consecutive mini sectors of cellvault's files).
size_t find_text(const Bytes& file, std::string_view text) {
  const auto it = std::search(file.begin(), file.end(), text.begin(), text.end());
  EXPECT_NE(it, file.end()) << text;
  return static_cast<size_t>(it - file.begin()) + text.size();
}

TEST(ReaderTamperTest, ChangedDescriptorsNameTheirEffect) {
  const Bytes file = lock_file(pattern(3000), "pw");
  const auto changed = [&](std::string_view after, char to) {
    Bytes f = file;
    const size_t at = find_text(f, after);
    f[at] = static_cast<uint8_t>(f[at] == static_cast<uint8_t>(to) ? to + 1 : to);
    return outcome(unlock(f, "pw").report);
  };
  // The password's salt enters the verifier: the password no longer fits.
  EXPECT_EQ(changed("spinCount=\"100000\" saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" "
                    "hashSize=\"64\" cipherAlgorithm=\"AES\" cipherChaining=\"ChainingModeCBC\" "
                    "hashAlgorithm=\"SHA512\" saltValue=\"",
                    'Q'),
            "wrong-password: wrong password");
  // The package key and the package salt are not checked by the verifier;
  // the HMAC catches them.
  EXPECT_EQ(changed("encryptedKeyValue=\"", 'Q'),
            "integrity-mismatch: the file was changed after it was locked (its integrity value "
            "does not match)");
  EXPECT_EQ(changed("<keyData saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" "
                    "cipherAlgorithm=\"AES\" cipherChaining=\"ChainingModeCBC\" "
                    "hashAlgorithm=\"SHA512\" saltValue=\"",
                    'Q'),
            "integrity-mismatch: the file was changed after it was locked (its integrity value "
            "does not match)");
  EXPECT_EQ(changed("<keyData", 'X').substr(0, 120),
            "damaged-descriptor: damaged encryption descriptor: the XML is not well formed: not "
            "well-formed (invalid token) at line 2");
  // Another spin count derives other keys.
  EXPECT_EQ(changed("spinCount=\"", '9'), "wrong-password: wrong password");
}

}  // namespace
}  // namespace cellvault::reader
