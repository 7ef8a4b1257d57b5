// Tests of the multi-lane AES-256-CBC kernels. Every kernel that this
// processor runs is tested whatever CELLVAULT_AES_KERNEL says; the others
// are skipped with the reason. Expected bytes come from NIST SP 800-38A
// F.2.5 and from OpenSSL's EVP AES-256-CBC driven directly, one segment at
// a time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "aes_test_util.h"
#include "crypto_test_util.h"
#include "helper/crypt/crypt.h"
#include "helper/crypt/lanes/aes_cbc.h"

namespace cellvault::lanes {
namespace {

using testing::abort_message;
using testing::hex;
using testing::segment_iv;
using testing::unhex;

constexpr size_t kSeg = kCbcSegmentLen;

// noise returns bytes that differ from block to block and segment to
// segment, a different run for each seed.
Bytes noise(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

// expected_run encrypts every segment of |plain| on its own with the oracle.
Bytes expected_run(ByteView key, ByteView plain, ByteView ivs) {
  Bytes out;
  for (size_t off = 0, k = 0; off < plain.size(); off += kSeg, ++k) {
    const Bytes c = testing::evp_aes256_cbc(
        true, key, ivs.subspan(16 * k, 16),
        plain.subspan(off, std::min(kSeg, plain.size() - off)));
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

// first_mismatch names the first block that differs and shows it, for
// messages shorter than two hex dumps of a megabyte; empty when equal.
std::string first_mismatch(ByteView got, ByteView want) {
  if (got.size() != want.size()) return "lengths differ";
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  if (diff.first == got.end()) return "";
  const size_t block = static_cast<size_t>(diff.first - got.begin()) / 16 * 16;
  return "segment " + std::to_string(block / kSeg) + ", byte " +
         std::to_string(block % kSeg) + ": got " + hex(got.subspan(block, 16)) +
         " want " + hex(want.subspan(block, 16));
}

// ScopedKernelVariable sets CELLVAULT_AES_KERNEL (or clears it, for an
// empty optional) and restores the old value at the end of the scope.
class ScopedKernelVariable {
 public:
  explicit ScopedKernelVariable(std::optional<std::string> value) {
    if (const char* old = std::getenv(kAesKernelVariable)) old_ = old;
    if (value) {
      setenv(kAesKernelVariable, value->c_str(), 1);
    } else {
      unsetenv(kAesKernelVariable);
    }
  }
  ~ScopedKernelVariable() {
    if (old_) {
      setenv(kAesKernelVariable, old_->c_str(), 1);
    } else {
      unsetenv(kAesKernelVariable);
    }
  }

 private:
  std::optional<std::string> old_;
};

class AesKernelTest : public ::testing::TestWithParam<AesKernel> {
 protected:
  void SetUp() override {
    if (!aes_kernel_runs_here(GetParam())) {
      // The refusal says why: the processor or the build.
      const auto refused =
          Aes256CbcSegments::create(GetParam(), testing::kNistKey);
      GTEST_SKIP() << (refused.ok() ? "?" : refused.error());
    }
  }
  Aes256CbcSegments cipher(ByteView key) {
    return unwrap(Aes256CbcSegments::create(GetParam(), key));
  }
};

// 37 segments pass through every path of every kernel: full lane groups,
// registers left with unequal shares of the work, and the segments left
// over, encrypted one at a time.
TEST_P(AesKernelTest, NistVectorInEveryLane) {
  constexpr size_t kSegments = 37;
  Bytes run = noise(kSegments * kSeg, 1);
  Bytes ivs;
  for (size_t k = 0; k < kSegments; ++k) {
    std::copy(testing::kNistPlain.begin(), testing::kNistPlain.end(),
              run.begin() + k * kSeg);
    ivs.insert(ivs.end(), testing::kNistIv.begin(), testing::kNistIv.end());
  }
  Aes256CbcSegments aes = cipher(testing::kNistKey);
  aes.encrypt(run, run, ivs);
  for (size_t k = 0; k < kSegments; ++k) {
    EXPECT_EQ(hex(ByteView(run).subspan(k * kSeg, 64)),
              hex(unhex(testing::kNistCipher)))
        << "segment " << k;
  }
  // The vector alone is a run of one short segment.
  Bytes one = testing::kNistPlain;
  aes.encrypt(one, one, testing::kNistIv);
  EXPECT_EQ(hex(one), hex(unhex(testing::kNistCipher)));
}

// Runs around every boundary: one block, a segment and a block either way,
// and lane-group multiples of segments plus and minus one segment or block,
// each segment under an IV of its own; in place and out of place.
TEST_P(AesKernelTest, MatchesOpenSslAtSegmentAndLaneBoundaries) {
  std::vector<size_t> lengths = {0, 16, 4080, kSeg, kSeg + 16, 2 * kSeg};
  for (size_t lanes : {4, 8, 16, 32}) {
    for (size_t len : {lanes * kSeg - kSeg, lanes * kSeg - 16, lanes * kSeg,
                       lanes * kSeg + 16, lanes * kSeg + kSeg}) {
      lengths.push_back(len);
    }
  }
  lengths.push_back(37 * kSeg + 48);
  const Bytes key = noise(32, 7);
  Aes256CbcSegments aes = cipher(key);
  for (size_t len : lengths) {
    const Bytes plain = noise(len, static_cast<uint32_t>(len));
    const size_t segments = (len + kSeg - 1) / kSeg;
    const Bytes ivs = noise(16 * segments, static_cast<uint32_t>(len) + 1);
    const Bytes want = expected_run(key, plain, ivs);

    Bytes out(len, 0xee);
    aes.encrypt(plain, out, ivs);
    EXPECT_EQ(first_mismatch(out, want), "") << len << " bytes out of place";
    Bytes in_place = plain;
    aes.encrypt(in_place, in_place, ivs);
    EXPECT_EQ(first_mismatch(in_place, want), "") << len << " bytes in place";
  }
}

// Unaligned input and output: the kernels must not assume any alignment.
TEST_P(AesKernelTest, UnalignedBuffers) {
  constexpr size_t kLen = 17 * kSeg + 32;
  const Bytes key = noise(32, 9);
  const Bytes plain = noise(kLen, 10);
  const Bytes ivs = noise(16 * 18, 11);
  const Bytes want = expected_run(key, plain, ivs);
  Bytes in(kLen + 1), out(kLen + 3);
  std::copy(plain.begin(), plain.end(), in.begin() + 1);
  Aes256CbcSegments aes = cipher(key);
  aes.encrypt(ByteView(in).subspan(1, kLen), std::span(out).subspan(3, kLen),
              ivs);
  EXPECT_EQ(first_mismatch(ByteView(out).subspan(3, kLen), want), "");
}

// Every limit is checked before a byte is written.
TEST_P(AesKernelTest, MisuseAbortsBeforeWriting) {
  Aes256CbcSegments aes = cipher(testing::kNistKey);
  Bytes buf = noise(2 * kSeg + 32, 3);
  const Bytes before = buf;
  const Bytes iv_bytes(48, 0);
  const ByteView ivs(iv_bytes);
  const std::span<uint8_t> all(buf);
  EXPECT_EQ(abort_message([&] {
              aes.encrypt(all.first(32), all.subspan(64, 48), ivs.first(16));
            }),
            "AES-256-CBC: an output of 48 bytes for an input of 32");
  EXPECT_EQ(
      abort_message(
          [&] { aes.encrypt(all.first(40), all.first(40), ivs.first(16)); }),
      "AES-256-CBC: a run of 40 bytes is not a whole number of 16-byte blocks");
  EXPECT_EQ(abort_message([&] { aes.encrypt(all, all, ivs.first(32)); }),
            "AES-256-CBC: 32 bytes of IVs for 3 segments");
  EXPECT_EQ(abort_message([&] {
              aes.encrypt(all.first(kSeg), all.subspan(16, kSeg),
                          ivs.first(16));
            }),
            "AES-256-CBC: input and output overlap without being the same");
  EXPECT_EQ(hex(buf), hex(before));
  // A moved-from object has no schedule left to use.
  Aes256CbcSegments moved = std::move(aes);
  EXPECT_EQ(moved.kernel(), GetParam());
  EXPECT_EQ(abort_message([&] {
              aes.encrypt(all.first(16), all.first(16), ivs.first(16));
            }),
            "AES-256-CBC: the key schedule was moved away");
}

// The package encryption with the kernel forced: every byte of the stream
// must be what OpenSSL makes of each segment under SHA-512(salt || LE32(k))
// cut to 16 bytes, the last segment's partial block padded with zeros.
TEST_P(AesKernelTest, PackageStreamWithTheKernelForced) {
  ScopedKernelVariable force{std::string(aes_kernel_name(GetParam()))};
  const Bytes salt = noise(16, 20), key = noise(32, 21);
  std::vector<size_t> sizes = {1, 15, 16, 17, 4095, 4096, 4097, 8192};
  // Lane-group multiples, and the batches in which the package is handed
  // to the kernels (128 segments).
  for (size_t segments : {8, 16, 128, 256}) {
    for (size_t size : {segments * kSeg - 1, segments * kSeg + 1})
      sizes.push_back(size);
  }
  sizes.push_back(129 * kSeg + 4000);
  for (size_t n : sizes) {
    const Bytes plain = noise(n, static_cast<uint32_t>(n));
    const size_t padded = (n + 15) / 16 * 16;
    Bytes padded_plain = plain;
    padded_plain.resize(padded, 0);
    Bytes ivs;
    for (uint32_t k = 0; k * kSeg < n; ++k) {
      const Bytes iv = segment_iv(salt, k);
      ivs.insert(ivs.end(), iv.begin(), iv.end());
    }
    const Bytes want = expected_run(key, padded_plain, ivs);

    Bytes stream(8 + padded, 0xee);
    std::copy(plain.begin(), plain.end(), stream.begin() + 8);
    ASSERT_EQ(crypt_package_in_place("AES", "ChainingModeCBC", "SHA512", 16,
                                     salt, key, stream, n),
              stream.size());
    EXPECT_EQ(first_mismatch(ByteView(stream).subspan(8), want), "")
        << n << "-byte package, in place";
    const Bytes copied = crypt_package(true, "AES", "ChainingModeCBC", "SHA512",
                                       16, salt, key, plain);
    EXPECT_EQ(hex(copied), hex(stream)) << n << "-byte package, copied";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, AesKernelTest,
                         ::testing::ValuesIn(kAesKernels),
                         [](const ::testing::TestParamInfo<AesKernel>& info) {
                           return std::string(aes_kernel_name(info.param));
                         });

TEST(AesKernelChoiceTest, VariableForcesAndRefuses) {
  AesKernel fastest = AesKernel::kOpenssl;
  {
    ScopedKernelVariable unset{std::nullopt};
    fastest = unwrap(aes_kernel_to_use());
    EXPECT_TRUE(aes_kernel_runs_here(fastest));
    for (AesKernel k : kAesKernels) {
      if (aes_kernel_runs_here(k)) {
        EXPECT_GE(static_cast<int>(fastest), static_cast<int>(k));
      }
    }
  }
  {
    ScopedKernelVariable empty{std::string()};
    EXPECT_EQ(unwrap(aes_kernel_to_use()), fastest);
  }
  for (AesKernel k : kAesKernels) {
    ScopedKernelVariable force{std::string(aes_kernel_name(k))};
    const auto chosen = aes_kernel_to_use();
    if (aes_kernel_runs_here(k)) {
      ASSERT_TRUE(chosen.ok()) << chosen.error();
      EXPECT_EQ(*chosen, k);
    } else {
      ASSERT_FALSE(chosen.ok());
      EXPECT_TRUE(chosen.error().starts_with(
          "CELLVAULT_AES_KERNEL=" + std::string(aes_kernel_name(k)) + ": the " +
          std::string(aes_kernel_name(k)) + " AES kernel cannot run here: "))
          << chosen.error();
    }
  }
  ScopedKernelVariable bogus{std::string("AESNI")};
  const auto refused = aes_kernel_to_use();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            "CELLVAULT_AES_KERNEL=AESNI: no such AES kernel (known: openssl, "
            "aesni, vaes)");
  // The package encryption reads the variable too, and refuses to run.
  Bytes stream(8 + 16, 0);
  EXPECT_EQ(
      abort_message([&] {
        (void)crypt_package_in_place("AES", "ChainingModeCBC", "SHA512", 16,
                                     Bytes(16, 1), Bytes(32, 2), stream, 16);
      }),
      std::string(kUnwrapPrefix) +
          "\"CELLVAULT_AES_KERNEL=AESNI: no such AES kernel (known: openssl, "
          "aesni, vaes)\"");
}

TEST(AesKernelChoiceTest, CreateRefusesBadKeysAndAbsentKernels) {
  for (AesKernel k : kAesKernels) {
    const auto short_key = Aes256CbcSegments::create(k, Bytes(16, 0));
    ASSERT_FALSE(short_key.ok());
    EXPECT_EQ(short_key.error(), "key size not supported!");
    if (!aes_kernel_runs_here(k)) {
      const auto absent = Aes256CbcSegments::create(k, testing::kNistKey);
      ASSERT_FALSE(absent.ok());
      EXPECT_TRUE(absent.error().starts_with("the " +
                                             std::string(aes_kernel_name(k)) +
                                             " AES kernel cannot run here: "))
          << absent.error();
    }
  }
#if !defined(CELLVAULT_X86_KERNELS)
  EXPECT_FALSE(aes_kernel_runs_here(AesKernel::kAesni));
  EXPECT_FALSE(aes_kernel_runs_here(AesKernel::kVaes));
#endif
  EXPECT_TRUE(aes_kernel_runs_here(AesKernel::kOpenssl));
}

}  // namespace
}  // namespace cellvault::lanes
