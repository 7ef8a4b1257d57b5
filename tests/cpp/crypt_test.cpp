// Tests of AES-256-CBC on one buffer and of the segmented package
// encryption. Segments are checked by decrypting them with OpenSSL's EVP
// interface directly, under IVs that the test computes itself with
// OpenSSL's SHA512() of salt || LE32(k).

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>

#include "crypto_test_util.h"
#include "helper/crypt/crypt.h"

namespace cellvault {
namespace {

using testing::abort_message;
using testing::hex;
using testing::pattern;
using testing::unhex;

// NIST SP 800-38A F.2.5, CBC-AES256.Encrypt.
const Bytes kNistKey = unhex(
    "603deb1015ca71be2b73aef0857d7781 1f352c073b6108d72d9810a30914dff4");
const Bytes kNistIv = unhex("000102030405060708090a0b0c0d0e0f");
const Bytes kNistPlain = unhex(
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
const std::string kNistCipher =
    "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
    "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b";

Bytes encrypt_nist(ByteView key, ByteView iv, ByteView input) {
  return unwrap(crypt(true, "AES", "ChainingModeCBC", key, iv, input));
}

TEST(CryptTest, NistCbcAes256Vector) {
  EXPECT_EQ(hex(encrypt_nist(kNistKey, kNistIv, kNistPlain)),
            hex(unhex(kNistCipher)));
  // The first block alone is the first ciphertext block: no padding.
  EXPECT_EQ(hex(encrypt_nist(kNistKey, kNistIv, ByteView(kNistPlain).first(16))),
            "f58c4c04d6e5f1ba779eabfb5f7bfbd6");
  EXPECT_TRUE(encrypt_nist(kNistKey, kNistIv, {}).empty());
}

TEST(CryptTest, ErrorsAndNames) {
  const Bytes key16(16, 1);
  auto r = crypt(true, "AES", "ChainingModeCBC", key16, kNistIv, kNistPlain);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "key size not supported!");
  auto des = crypt(true, "DES", "ChainingModeCBC", kNistKey, kNistIv, {});
  ASSERT_FALSE(des.ok());
  EXPECT_EQ(des.error(), "algorithm DES not supported!");
  auto ecb = crypt(true, "AES", "ChainingModeECB", kNistKey, kNistIv, {});
  ASSERT_FALSE(ecb.ok());
  EXPECT_EQ(ecb.error(), "algorithm ChainingModeECB not supported!");
}

TEST(CryptTest, LimitViolationsAbort) {
  auto run = [](ByteView key, ByteView iv, ByteView input, bool enc = true) {
    return abort_message([&] {
      (void)crypt(enc, "AES", "ChainingModeCBC", key, iv, input);
    });
  };
  const Bytes big(4097, 0);
  EXPECT_NE(run(kNistKey, kNistIv, big).find("4096"), std::string::npos);
  // The work area limit comes before the key check.
  EXPECT_NE(run(Bytes(16, 0), kNistIv, big).find("4096"), std::string::npos);
  const std::string bad_iv = run(kNistKey, Bytes(15, 0), Bytes(16, 0));
  EXPECT_TRUE(bad_iv.ends_with("InvalidLength")) << bad_iv;
  const std::string bad_len = run(kNistKey, kNistIv, Bytes(17, 0));
  EXPECT_TRUE(bad_len.ends_with("PadError")) << bad_len;
  EXPECT_NE(run(kNistKey, kNistIv, Bytes(16, 0), false).find("decryption"),
            std::string::npos);
}

TEST(BufferConcatTest, JoinsInOrderAndSkipsEmptyMembers) {
  const Bytes a = {1, 2}, empty, b = {3};
  EXPECT_EQ(hex(buffer_concat({a, empty, b})), "010203");
  EXPECT_TRUE(buffer_concat({}).empty());
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// decrypt_segment undoes AES-256-CBC without padding with OpenSSL directly.
Bytes decrypt_segment(ByteView key, ByteView iv, ByteView cipher) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  Bytes out(cipher.size());
  int len = 0;
  EXPECT_EQ(EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                               key.data(), iv.data()),
            1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_EQ(EVP_DecryptUpdate(ctx.get(), out.data(), &len, cipher.data(),
                              static_cast<int>(cipher.size())),
            1);
  EXPECT_EQ(static_cast<size_t>(len), cipher.size());
  return out;
}

// segment_iv is the first 16 bytes of SHA-512(salt || k as LE32).
Bytes segment_iv(ByteView salt, uint32_t k) {
  Bytes msg(salt.begin(), salt.end());
  const uint8_t le[4] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8),
                         static_cast<uint8_t>(k >> 16),
                         static_cast<uint8_t>(k >> 24)};
  msg.insert(msg.end(), le, le + 4);
  uint8_t digest[SHA512_DIGEST_LENGTH];
  SHA512(msg.data(), msg.size(), digest);
  return Bytes(digest, digest + 16);
}

// check_package decrypts every segment of |stream| on its own and compares
// it with the plain package and its zero padding.
void check_package(ByteView plain, ByteView salt, ByteView key,
                   ByteView stream) {
  const size_t padded = (plain.size() + 15) / 16 * 16;
  ASSERT_EQ(stream.size(), 8 + padded);
  uint64_t size_field = 0;
  for (int i = 7; i >= 0; --i) size_field = size_field * 256 + stream[i];
  EXPECT_EQ(size_field, plain.size());
  Bytes expected(plain.begin(), plain.end());
  expected.resize(padded, 0);
  for (size_t off = 0, k = 0; off < padded; off += 4096, ++k) {
    const size_t len = std::min<size_t>(4096, padded - off);
    const Bytes got = decrypt_segment(key, segment_iv(salt, k),
                                      stream.subspan(8 + off, len));
    EXPECT_EQ(hex(got), hex(ByteView(expected).subspan(off, len)))
        << "segment " << k << " of a " << plain.size() << "-byte package";
  }
}

Bytes encrypt_package(ByteView salt, ByteView key, ByteView plain,
                      uint64_t block_size = 16) {
  return crypt_package(true, "AES", "ChainingModeCBC", "SHA512", block_size,
                       salt, key, plain);
}

TEST(CryptPackageTest, EachSegmentDecryptsOnItsOwn) {
  const Bytes salt = unhex("00112233445566778899aabbccddeeff");
  const Bytes key = unhex(
      "0f0e0d0c0b0a09080706050403020100 1f1e1d1c1b1a19181716151413121110");
  for (size_t n : {0, 1, 15, 16, 4096, 4097, 4112, 8192, 5 * 4096 + 100}) {
    const Bytes plain = pattern(n);
    check_package(plain, salt, key, encrypt_package(salt, key, plain));
  }
  // A salt too long for the one-block IV digest takes the general path.
  const Bytes long_salt = pattern(120);
  const Bytes plain = pattern(3 * 4096 + 5);
  check_package(plain, long_salt, key, encrypt_package(long_salt, key, plain));
}

TEST(CryptPackageTest, StreamLayoutByHand) {
  const Bytes salt(16, 0x5a), key(32, 0xa5);
  EXPECT_EQ(hex(encrypt_package(salt, key, {})), "0000000000000000");
  const Bytes one = {0x42};
  const Bytes stream = encrypt_package(salt, key, one);
  ASSERT_EQ(stream.size(), 24u);
  EXPECT_EQ(hex(ByteView(stream).first(8)), "0100000000000000");
  // The single block is the byte followed by 15 zero bytes, under IV 0.
  Bytes block(16, 0);
  block[0] = 0x42;
  EXPECT_EQ(hex(ByteView(stream).subspan(8)),
            hex(encrypt_nist(key, segment_iv(salt, 0), block)));
  const Bytes s5000 = encrypt_package(salt, key, pattern(5000));
  EXPECT_EQ(hex(ByteView(s5000).first(8)), "8813000000000000");
  EXPECT_EQ(s5000.size(), 8u + 4096 + 912);
}

TEST(CryptPackageTest, FailuresAbort) {
  const Bytes salt(16, 1), key(32, 2), plain(10, 3);
  EXPECT_EQ(abort_message([&] {
              (void)encrypt_package(salt, Bytes(16, 2), plain);
            }),
            "called `Result::unwrap()` on an `Err` value: \"key size not "
            "supported!\"");
  EXPECT_EQ(abort_message([&] {
              (void)crypt_package(true, "AES", "ChainingModeCBC", "SHA256",
                                  16, salt, key, plain);
            }),
            "called `Result::unwrap()` on an `Err` value: \"algorithm SHA256 "
            "not supported!\"");
  // The first segment needs its IV before the cipher sees the key, so a
  // bad hash name is reported ahead of a bad key.
  EXPECT_EQ(abort_message([&] {
              (void)crypt_package(true, "AES", "ChainingModeCBC", "sha512",
                                  16, salt, Bytes(16, 2), plain);
            }),
            "called `Result::unwrap()` on an `Err` value: \"algorithm sha512 "
            "not supported!\"");
  EXPECT_NE(abort_message([&] { (void)encrypt_package(salt, key, plain, 0); })
                .find("block size 0"),
            std::string::npos);
  // Block size 8 yields 8-byte IVs, which the cipher refuses.
  EXPECT_TRUE(abort_message([&] { (void)encrypt_package(salt, key, plain, 8); })
                  .ends_with("InvalidLength"));
  // Nothing is encrypted for an empty package, so nothing is checked.
  EXPECT_EQ(encrypt_package(salt, key, {}, 0).size(), 8u);
}


// The copying form above runs through the in-place form; what is left to
// check here is the room around the package. The buffer around it starts
// as 0xee filler, standing in for the uninitialised memory the form is
// documented to accept.
constexpr uint8_t kFiller = 0xee;

Bytes in_place_buffer(ByteView plain, size_t room_after) {
  Bytes buffer(8 + plain.size() + room_after, kFiller);
  std::copy(plain.begin(), plain.end(), buffer.begin() + 8);
  return buffer;
}

size_t encrypt_in_place(ByteView salt, ByteView key, std::span<uint8_t> buffer,
                        uint64_t package_len) {
  return crypt_package_in_place("AES", "ChainingModeCBC", "SHA512", 16, salt,
                                key, buffer, package_len);
}

TEST(CryptPackageInPlaceTest, SpareRoomAfterTheStreamIsLeftAlone) {
  const Bytes salt = unhex("00112233445566778899aabbccddeeff");
  const Bytes key = unhex(
      "0f0e0d0c0b0a09080706050403020100 1f1e1d1c1b1a19181716151413121110");
  for (size_t n : {0, 1, 15, 16, 4096, 4097, 4112, 8192}) {
    const Bytes plain = pattern(n);
    // 15 bytes of room for the padding, and 5 spare ones that must stay.
    Bytes buffer = in_place_buffer(plain, 15 + 5);
    const size_t len = encrypt_in_place(salt, key, buffer, n);
    check_package(plain, salt, key, ByteView(buffer).first(len));
    EXPECT_EQ(hex(ByteView(buffer).subspan(len)),
              hex(Bytes(buffer.size() - len, kFiller)))
        << "bytes past the stream changed for a " << n << "-byte package";
  }
}

TEST(CryptPackageInPlaceTest, ExactRoomSufficesAndTooLittleAborts) {
  const Bytes salt(16, 0x5a), key(32, 0xa5);
  // 4097 bytes: one full segment, then one byte padded to a block.
  const Bytes plain = pattern(4097);
  Bytes exact = in_place_buffer(plain, 15);
  EXPECT_EQ(encrypt_in_place(salt, key, exact, plain.size()), exact.size());
  EXPECT_EQ(hex(exact), hex(encrypt_package(salt, key, plain)));
  Bytes empty(8, kFiller);
  EXPECT_EQ(encrypt_in_place(salt, key, empty, 0), 8u);
  EXPECT_EQ(hex(empty), "0000000000000000");

  // A buffer without room for the padding, or not even for the package,
  // aborts before a byte is written.
  Bytes short_tail = in_place_buffer(plain, 14);
  const Bytes before = short_tail;
  const std::string tail_message = abort_message(
      [&] { (void)encrypt_in_place(salt, key, short_tail, plain.size()); });
  EXPECT_NE(tail_message.find("the stream of 4120 bytes needs room for the "
                              "padding"),
            std::string::npos)
      << tail_message;
  EXPECT_EQ(hex(short_tail), hex(before));
  Bytes tiny(7, kFiller);
  EXPECT_NE(abort_message([&] { (void)encrypt_in_place(salt, key, tiny, 0); })
                .find("a package of 0 bytes does not fit a 7-byte buffer"),
            std::string::npos);
  EXPECT_NE(abort_message([&] {
              (void)encrypt_in_place(salt, key, short_tail, 5000);
            }).find("a package of 5000 bytes does not fit"),
            std::string::npos);
  // The parameters are checked as in the copying form.
  EXPECT_EQ(abort_message([&] {
              (void)crypt_package_in_place("AES", "ChainingModeCBC", "SHA512",
                                           16, salt, Bytes(16, 2), short_tail,
                                           1);
            }),
            "called `Result::unwrap()` on an `Err` value: \"key size not "
            "supported!\"");
  EXPECT_EQ(hex(short_tail), hex(before));
}

}  // namespace
}  // namespace cellvault
