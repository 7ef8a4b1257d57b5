// Tests of the multi-lane SHA-512: every kernel that this build and
// processor run, lane by lane, against OpenSSL's one-shot SHA512() as the
// oracle, and the batch key derivation against independent vectors.
//
// The keys at 100000 spins were computed with Python's hashlib, following
// [MS-OFFCRYPTO] 2.3.4.11 directly:
//   H = sha512(salt + pw.encode('utf-16-le')).digest()
//   for i in range(100000): H = sha512(struct.pack('<I', i) + H).digest()
//   key = sha512(H + block_key).digest()[:32]

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crypto_test_util.h"
#include "helper/crypt/hash.h"
#include "helper/crypt/lanes/sha512_lanes.h"

namespace cellvault::lanes {
namespace {

using cellvault::testing::abort_message;
using cellvault::testing::hex;
using cellvault::testing::view;

const std::array<ByteView, 3> kBlockKeys = {kBlockKeyEncryptedKeyValue,
                                            kBlockKeyVerifierHashInput,
                                            kBlockKeyVerifierHashValue};

// oracle_spin is the iterated hash straight from its definition, one
// SHA512() call per iteration.
Sha512Digest oracle_spin(Sha512Digest h, uint64_t count) {
  uint8_t message[4 + kSha512DigestLen];
  for (uint64_t i = 0; i < count; ++i) {
    store_u32le(message, static_cast<uint32_t>(i));
    std::memcpy(message + 4, h.data(), h.size());
    SHA512(message, sizeof(message), h.data());
  }
  return h;
}

// distinct_digests returns |n| different starting digests.
std::vector<Sha512Digest> distinct_digests(size_t n) {
  std::vector<Sha512Digest> out(n);
  for (size_t k = 0; k < n; ++k) {
    const std::string seed = "lane " + std::to_string(k);
    SHA512(reinterpret_cast<const uint8_t*>(seed.data()), seed.size(), out[k].data());
  }
  return out;
}

// Passwords of the lengths that reach the edges of the first digest's
// blocks (64 UTF-16 characters and a salt take two blocks), and a
// character outside the BMP.
const std::string kPassword63 = std::string("Spreadsheet-Spreadsheet-Spreadsheet-") +
                                "Spreadsheet-Spreadsheet-Spr";
const std::string kPassword64 = kPassword63 + "e";
const std::vector<std::string> kPasswords = {
    "", "x", kPassword63, kPassword64, "Q3 \xF0\x9F\x94\x92 r\xC3\xA9sum\xC3\xA9"};

Bytes salt_for(size_t k) {
  Bytes salt(16);
  for (size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<uint8_t>(16 * k + i);
  return salt;
}

class Sha512LanesTest : public ::testing::TestWithParam<std::string_view> {
 protected:
  void SetUp() override {
    auto kernel = Sha512Lanes::named(GetParam());
    if (!kernel.ok()) GTEST_SKIP() << "skipped: " << kernel.error();
    kernel_.emplace(*kernel);
  }
  const Sha512Lanes& kernel() const { return *kernel_; }

 private:
  std::optional<Sha512Lanes> kernel_;
};

TEST_P(Sha512LanesTest, EveryLaneMatchesSingleChains) {
  // Two full groups and a partial one, each lane with its own digest;
  // 300 iterations take the iterator past one byte.
  const size_t n = 2 * kernel().lanes() + 3;
  for (uint64_t count : {0u, 1u, 300u}) {
    std::vector<Sha512Digest> h = distinct_digests(n);
    const std::vector<Sha512Digest> start = h;
    kernel().spin(h, count);
    for (size_t k = 0; k < n; ++k) {
      EXPECT_EQ(hex(h[k]), hex(oracle_spin(start[k], count)))
          << "lane " << k << ", count " << count;
    }
  }
}

TEST_P(Sha512LanesTest, PartialGroupsOfEverySize) {
  for (size_t n = 0; n <= kernel().lanes(); ++n) {
    std::vector<Sha512Digest> h = distinct_digests(n);
    const std::vector<Sha512Digest> start = h;
    kernel().spin(h, 7);
    for (size_t k = 0; k < n; ++k) {
      EXPECT_EQ(hex(h[k]), hex(oracle_spin(start[k], 7))) << n << " inputs, lane " << k;
    }
  }
}

TEST_P(Sha512LanesTest, OneBlockMatchesOpenSslForEveryLength) {
  // Lengths 0 to 111 and three more, so that the last group is partial
  // for every kernel; each message has its own bytes.
  std::vector<Bytes> messages;
  for (size_t len = 0; len <= kSha512OneBlockMax; ++len) {
    Bytes m(len);
    for (size_t i = 0; i < len; ++i) m[i] = static_cast<uint8_t>(len * 7 + i * 13);
    messages.push_back(m);
  }
  for (size_t len : {20u, 68u, 111u}) messages.push_back(Bytes(len, static_cast<uint8_t>(len)));
  const std::vector<ByteView> views(messages.begin(), messages.end());
  std::vector<Sha512Digest> out(views.size());
  kernel().one_block(views, out);
  for (size_t k = 0; k < views.size(); ++k) {
    Sha512Digest want;
    SHA512(views[k].data(), views[k].size(), want.data());
    EXPECT_EQ(hex(out[k]), hex(want)) << "message " << k << " of " << views[k].size() << " bytes";
  }
}

TEST_P(Sha512LanesTest, OneBlockRefusesWhatDoesNotFit) {
  const Bytes too_long(kSha512OneBlockMax + 1, 0x61);
  const Bytes fits(kSha512OneBlockMax, 0x61);
  const std::vector<ByteView> views = {fits, too_long};
  std::vector<Sha512Digest> out(2);
  EXPECT_EQ(abort_message([&] { kernel().one_block(views, out); }),
            "Sha512Lanes::one_block: message longer than one block");
  std::vector<Sha512Digest> short_out(1);
  EXPECT_EQ(abort_message([&] { kernel().one_block(std::span(views).first(2), short_out); }),
            "Sha512Lanes::one_block: 2 messages but room for 1 digests");
}

TEST_P(Sha512LanesTest, KeysOfManyFilesMatchSingleDerivations) {
  // More files than lanes, with every password length of interest.
  std::vector<Bytes> salts;
  std::vector<PasswordAndSalt> inputs;
  const size_t n = kernel().lanes() + kPasswords.size();
  for (size_t k = 0; k < n; ++k) salts.push_back(salt_for(k));
  for (size_t k = 0; k < n; ++k) inputs.push_back({kPasswords[k % kPasswords.size()], salts[k]});
  for (uint64_t key_bits : {256u, 1024u}) {
    const auto keys = convert_passwords_to_keys(inputs, "SHA512", 1000, key_bits,
                                                kBlockKeys, kernel());
    ASSERT_EQ(keys.size(), n);
    for (size_t k = 0; k < n; ++k) {
      const auto want = convert_password_to_keys(inputs[k].password, "SHA512",
                                                 inputs[k].salt, 1000, key_bits, kBlockKeys);
      for (size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(hex(keys[k][j]), hex(want[j])) << "file " << k << ", key " << j;
      }
    }
  }
}

TEST_P(Sha512LanesTest, KeysMatchIndependentVectorsAtTheProductionSpinCount) {
  const char* const want[5][3] = {
      {"4ad18d9b5d6c0fff1693f7c68158f6584b5b73355172161f092b9e8e4ee2b343",
       "57c29ccbf3764e4912c935fda2e017abd2d844ef883b750b38a0e28ca4e3063f",
       "d953e7d77a63cf056abce3f5fd4da074e95431d88725d0116533a7eae95dd8df"},
      {"4afe159793dc54f5e3976d210a514da8d81cdd587e25fe9e6023260253b52d06",
       "1b011011ecb632149ef9c01c84ebf3071fdf29658b21bd34eb41b1b052a1acad",
       "c9eed9c58ede0014a321e49a39bf7df5e91b5b0407e7c767480ee2ccbd98f908"},
      {"891ab37a45e39c4bfb0cbd492f15a840d76076d9f7cf83f42f9f5a126c57b50e",
       "dcb4c0263ab1ae9bb44ef660d2bb4ade7f0c1e65b1e1edc6f07b8f9414131a29",
       "9d0b04fa5e5f9c0b0cc57724604e046c9363f0939ee01c6e28ae7e5db2ed2683"},
      {"e7eb7106ad8e76449b688dc101895ad1827fa6da7ab3638969d681f57851b3bc",
       "11c974ec58f065273d86cd4d2babe949baf8339d05466e1d5f4a26a98adb32bd",
       "65155e76d93bc5af73d415870f775ca6f8600a877bf62b69fbde689efe24992f"},
      {"781cf7a2fe3742aad728e9bf8546579fae63f50c8b8046ad073702d961f9de18",
       "7012ee4740c6714e8d781263de937125241df157fdd3523f7d5d6ae2cbf9f1a9",
       "60c6c702a86e0bd58bad54485f6f2ccb4b37891fe4ca5e0b3cacb32dca7d0be1"}};
  // The five cases repeated to fill at least one whole group, so that
  // every lane of the kernel meets a vector.
  const size_t cases = kPasswords.size();
  const size_t n = std::max(cases, kernel().lanes());
  std::vector<Bytes> salts;
  std::vector<PasswordAndSalt> inputs;
  for (size_t k = 0; k < cases; ++k) salts.push_back(salt_for(k));
  for (size_t k = 0; k < n; ++k) inputs.push_back({kPasswords[k % cases], salts[k % cases]});
  const auto keys = convert_passwords_to_keys(inputs, "SHA512", 100000, 256, kBlockKeys, kernel());
  for (size_t k = 0; k < n; ++k) {
    for (size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(hex(keys[k][j]), want[k % cases][j]) << "lane " << k << ", key " << j;
    }
  }
}

TEST_P(Sha512LanesTest, BatchFailsLikeTheSingleDerivation) {
  const Bytes salt = salt_for(0);
  const std::vector<PasswordAndSalt> bad_hash = {{"pw", salt}};
  EXPECT_EQ(abort_message([&] {
              (void)convert_passwords_to_keys(bad_hash, "SHA1", 10, 256, kBlockKeys, kernel());
            }),
            "called `Result::unwrap()` on an `Err` value: \"algorithm SHA1 not supported!\"");
  const std::vector<PasswordAndSalt> bad_text = {{"pw", salt}, {"p\xC3", salt}};
  EXPECT_NE(abort_message([&] {
              (void)convert_passwords_to_keys(bad_text, "SHA512", 10, 256, kBlockKeys, kernel());
            }).find("password is not valid UTF-8"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kernels, Sha512LanesTest,
                         ::testing::ValuesIn(sha512_kernel_names().begin(),
                                             sha512_kernel_names().end()),
                         [](const auto& info) { return std::string(info.param); });

TEST(Sha512KernelChoiceTest, FastestFollowsTheProcessor) {
  CpuFeatures none;
  EXPECT_EQ(Sha512Lanes::fastest(none).name(), "portable");
  CpuFeatures avx2;
  avx2.avx2 = avx2.bmi2 = true;
  CpuFeatures avx512 = avx2;
  avx512.avx512f = avx512.avx512vl = avx512.avx512bw = true;
  CpuFeatures avx512_without_bw = avx512;
  avx512_without_bw.avx512bw = false;
#if defined(CELLVAULT_X86_KERNELS)
  EXPECT_EQ(Sha512Lanes::fastest(avx2).name(), "avx2");
  EXPECT_EQ(Sha512Lanes::fastest(avx512).name(), "avx512x16");
  EXPECT_EQ(Sha512Lanes::fastest(avx512).lanes(), 16u);
  EXPECT_EQ(Sha512Lanes::fastest(avx512_without_bw).name(), "avx2");
#else
  for (const CpuFeatures& f : {avx2, avx512, avx512_without_bw}) {
    EXPECT_EQ(Sha512Lanes::fastest(f).name(), "portable");
  }
#endif
  EXPECT_EQ(Sha512Lanes::fastest(none).lanes(), 1u);
}

TEST(Sha512KernelChoiceTest, RefusesUnknownAndUnrunnableKernels) {
  auto unknown = Sha512Lanes::named("avx512");
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error(),
            "unknown SHA-512 kernel \"avx512\" (known: portable, avx2, avx512x8, avx512x16)");
  CpuFeatures avx2;
  avx2.avx2 = avx2.bmi2 = true;
  auto lacking = Sha512Lanes::named("avx512x8", avx2);
  ASSERT_FALSE(lacking.ok());
#if defined(CELLVAULT_X86_KERNELS)
  EXPECT_EQ(lacking.error(),
            "SHA-512 kernel avx512x8 needs AVX-512F, AVX-512VL, AVX-512BW and BMI2, "
            "which this processor lacks");
  EXPECT_EQ(Sha512Lanes::named("avx2", avx2)->lanes(), 4u);
#else
  EXPECT_EQ(lacking.error(),
            "SHA-512 kernel avx512x8 is not built into this program (it has the "
            "portable kernel only)");
#endif
  EXPECT_EQ(Sha512Lanes::named("portable", CpuFeatures{})->name(), "portable");
}

// Sets the variable for one scope and restores what was there.
class ScopedKernelVariable {
 public:
  explicit ScopedKernelVariable(const char* value) {
    if (const char* old = std::getenv(kSha512KernelVariable)) old_ = old;
    if (value) {
      setenv(kSha512KernelVariable, value, 1);
    } else {
      unsetenv(kSha512KernelVariable);
    }
  }
  ~ScopedKernelVariable() {
    if (old_) {
      setenv(kSha512KernelVariable, old_->c_str(), 1);
    } else {
      unsetenv(kSha512KernelVariable);
    }
  }

 private:
  std::optional<std::string> old_;
};

TEST(Sha512KernelChoiceTest, EnvironmentVariableForcesTheKernel) {
  for (std::string_view name : sha512_kernel_names()) {
    ScopedKernelVariable forced(std::string(name).c_str());
    const auto direct = Sha512Lanes::named(name);
    const auto chosen = Sha512Lanes::from_environment();
    ASSERT_EQ(chosen.ok(), direct.ok()) << name;
    if (chosen.ok()) {
      EXPECT_EQ(chosen->name(), name);
    } else {
      // A kernel this machine cannot run is refused, not replaced.
      EXPECT_EQ(chosen.error(), "CELLVAULT_SHA512_KERNEL: " + direct.error());
    }
  }
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    ScopedKernelVariable forced(unset);
    const auto chosen = Sha512Lanes::from_environment();
    ASSERT_TRUE(chosen.ok());
    EXPECT_EQ(chosen->name(), Sha512Lanes::fastest().name());
  }
  ScopedKernelVariable forced("fastest");
  const auto chosen = Sha512Lanes::from_environment();
  ASSERT_FALSE(chosen.ok());
  EXPECT_EQ(chosen.error(),
            "CELLVAULT_SHA512_KERNEL: unknown SHA-512 kernel \"fastest\" (known: portable, "
            "avx2, avx512x8, avx512x16)");
}

}  // namespace
}  // namespace cellvault::lanes
