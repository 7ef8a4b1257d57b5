// Tests of the digest, the password key derivation and the IV derivation.
//
// Derived keys and IVs were computed independently with Python's hashlib,
// following [MS-OFFCRYPTO] 2.3.4.11 directly:
//   H = sha512(salt + pw.encode('utf-16-le')).digest()
//   for i in range(spin): H = sha512(struct.pack('<I', i) + H).digest()
//   H = sha512(H + block_key).digest(); then cut or pad with 0x36
// and IVs as sha512(salt + block_key).digest() cut or padded the same way.

#include <gtest/gtest.h>

#include <string>

#include "crypto_test_util.h"
#include "helper/crypt/hash.h"
#include "helper/crypt/utf16.h"

namespace cellvault {
namespace {

using testing::abort_message;
using testing::hex;
using testing::unhex;
using testing::view;

const Bytes kSalt = unhex("000102030405060708090a0b0c0d0e0f");
const Bytes kSalt2 = unhex("a1b2c3d4e5f60718293a4b5c6d7e8f90");

std::string hash_hex(std::initializer_list<ByteView> parts) {
  auto r = hash("SHA512", parts);
  return r.ok() ? hex(*r) : "error: " + r.error();
}

TEST(HashTest, FipsExamplesAndSplitMessages) {
  // FIPS 180-4 example digests: "abc" and the 896-bit two-block message.
  const std::string abc =
      "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
      "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
  EXPECT_EQ(hash_hex({view("abc")}), abc);
  EXPECT_EQ(hash_hex({view("a"), {}, view("bc")}), abc);
  const std::string long_msg =
      "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
      "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  const std::string long_digest =
      "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
      "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909";
  EXPECT_EQ(hash_hex({view(long_msg)}), long_digest);
  EXPECT_EQ(hash_hex({view(long_msg.substr(0, 100)),
                      view(long_msg.substr(100))}),
            long_digest);
  // The empty list is the empty message.
  EXPECT_EQ(hash_hex({}),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
}

TEST(HashTest, OnlyTheExactNameSha512IsAccepted) {
  for (const char* name : {"sha512", "SHA-512", "SHA256", ""}) {
    auto r = hash(name, {view("abc")});
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_EQ(r.error(), std::string("algorithm ") + name + " not supported!");
  }
}

TEST(Utf16Test, NonAsciiAndNonBmpCharacters) {
  // U+00E9 -> E9 00; U+1F600 -> surrogates D83D DE00, each low byte first.
  EXPECT_EQ(hex(utf16le_from_utf8("a\xC3\xA9")), "6100e900");
  EXPECT_EQ(hex(utf16le_from_utf8("\xF0\x9F\x98\x80")), "3dd800de");
  EXPECT_EQ(hex(utf16le_from_utf8("\xEF\xBF\xBF")), "ffff");
  EXPECT_TRUE(utf16le_from_utf8("").empty());
}

TEST(Utf16Test, MalformedUtf8Aborts) {
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "ab\xFF"}) {
    EXPECT_NE(abort_message([&] { (void)utf16le_from_utf8(bad); })
                  .find("password is not valid UTF-8"),
              std::string::npos)
        << hex(view(bad));
  }
}

TEST(PasswordKeyTest, MatchesIndependentVectors) {
  const ByteView kv = kBlockKeyEncryptedKeyValue;
  const ByteView vi = kBlockKeyVerifierHashInput;
  const ByteView vv = kBlockKeyVerifierHashValue;
  // Empty password: the first digest covers the salt alone.
  EXPECT_EQ(hex(convert_password_to_key("", "SHA512", kSalt, 0, 256, kv)),
            "31d1f02e3279b7a2b24861b2186d61f2c011b0071c2f1dd3f65a150f6a1ad690");
  // Spin count 1 uses iterator 00 00 00 00.
  EXPECT_EQ(
      hex(convert_password_to_key("Password1", "SHA512", kSalt, 1, 256, kv)),
      "971da4b27833bbd42458614d0c305474f1eadbed3d934832af2961a730ec66ef");
  // Iterators past 255 (00 01 00 00 ...), accented and non-BMP passwords.
  EXPECT_EQ(hex(convert_password_to_key("p\xC3\xA4ssw\xC3\xB6rd", "SHA512",
                                        kSalt, 1000, 256, vi)),
            "9969a8080faf6f5812677c1fe81548e064b7358784f6c7b747a025edcf718f19");
  EXPECT_EQ(hex(convert_password_to_key("k\xF0\x9F\x98\x80y", "SHA512",
                                        kSalt2, 300, 256, vv)),
            "d94b25ec8551a1bb31b58cf4dc5be709f67aa4560bd58d49de8182b6d3c4fe88");
  // The production spin count.
  EXPECT_EQ(hex(convert_password_to_key("Password1", "SHA512", kSalt2, 100000,
                                        256, vv)),
            "ba2ba27bf6ce53abe7c6a3eeb069806a88762fbe884855d54799173c12ee589c");
}

TEST(PasswordKeyTest, KeyLengthFollowsKeyBits) {
  const ByteView kv = kBlockKeyEncryptedKeyValue;
  const std::string digest =
      "d1d1262cb71207142a17a45f51cebe68fd8d0ebe2f15dc14ce1398fc9e53cc24"
      "97f3a65cfcd349b1f8699c9e84b251265fc0bacb87eb922165879d699a01ec6c";
  EXPECT_EQ(hex(convert_password_to_key("abc", "SHA512", kSalt, 0, 512, kv)),
            digest);
  std::string fill;
  for (int i = 0; i < 64; ++i) fill += "36";
  EXPECT_EQ(hex(convert_password_to_key("abc", "SHA512", kSalt, 0, 1024, kv)),
            digest + fill);
  // 255 bits are 31 whole bytes; fewer than 8 bits are none.
  EXPECT_EQ(hex(convert_password_to_key("abc", "SHA512", kSalt, 0, 255, kv)),
            digest.substr(0, 62));
  EXPECT_TRUE(convert_password_to_key("abc", "SHA512", kSalt, 0, 7, kv).empty());
}

TEST(PasswordKeyTest, ThreeKeysFromOneChainMatchIndependentVectors) {
  const std::array<ByteView, 3> block_keys = {kBlockKeyEncryptedKeyValue,
                                              kBlockKeyVerifierHashInput,
                                              kBlockKeyVerifierHashValue};
  // The production case against the independent vectors.
  const auto keys = convert_password_to_keys("Password1", "SHA512", kSalt2,
                                             100000, 256, block_keys);
  EXPECT_EQ(hex(keys[0]),
            "24f61e0740436a0ecd197c981646716acec371ac6ac606dfd0da11ad0ea48a4b");
  EXPECT_EQ(hex(keys[1]),
            "4b3edae258995d92d22177c462bdbea3179c65b81cd428c02d67772fac0e4fda");
  EXPECT_EQ(hex(keys[2]),
            "ba2ba27bf6ce53abe7c6a3eeb069806a88762fbe884855d54799173c12ee589c");
}

TEST(PasswordKeyTest, UnsupportedHashAbortsWithTheUnwrapMessage) {
  const std::string want =
      "called `Result::unwrap()` on an `Err` value: \"algorithm SHA1 not "
      "supported!\"";
  const ByteView kv = kBlockKeyEncryptedKeyValue;
  EXPECT_EQ(abort_message([&] {
              (void)convert_password_to_key("pw", "SHA1", kSalt, 10, 256, kv);
            }),
            want);
  EXPECT_EQ(abort_message([&] {
              (void)convert_password_to_keys("pw", "SHA1", kSalt, 10, 256,
                                             {kv, kv, kv});
            }),
            want);
  EXPECT_EQ(abort_message([&] { (void)create_iv("SHA1", kSalt, 16, kv); }),
            want);
}

TEST(CreateIvTest, MatchesIndependentVectors) {
  const ByteView hk = kBlockKeyIntegrityKey;
  const std::string digest =
      "d13d7a5b62ff84a9482cdb582216930cdd4894e10c611f94f14a0344864063cc"
      "ce64b85ff481b3cc55c5d7886fb0bee1835acd958162c686c96907ce14b31e79";
  EXPECT_EQ(hex(create_iv("SHA512", kSalt, 16, hk)), digest.substr(0, 32));
  EXPECT_EQ(hex(create_iv("SHA512", kSalt, 80, hk)),
            digest + "36363636363636363636363636363636");
  EXPECT_TRUE(create_iv("SHA512", kSalt, 0, hk).empty());
  // Segment 0 uses the block key 00 00 00 00, which is not the empty key.
  const Bytes zero4 = {0, 0, 0, 0};
  EXPECT_EQ(hex(create_iv("SHA512", kSalt, 16, zero4)),
            "4907038c06363497bcd63dc397144376");
  EXPECT_EQ(hex(create_iv("SHA512", kSalt, 16, {})),
            "daa295beed4e2ee94c24015b56af626b");
}

}  // namespace
}  // namespace cellvault
