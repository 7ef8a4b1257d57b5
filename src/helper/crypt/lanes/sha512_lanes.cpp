// The kernel table, the choice among the kernels, and the portable half of
// every vector kernel: inputs are converted to the kernels' word-major
// layout here and back, so that the instruction-set files see only words.

#include "helper/crypt/lanes/sha512_lanes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/abort.h"
#include "common/secure.h"
#include "helper/crypt/lanes/sha512_kernels.h"

namespace cellvault::lanes {

const uint64_t kSha512RoundConstants[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

const uint64_t kSha512InitialHash[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

using SpinFn = void (*)(uint64_t* state, uint64_t count);
using BlockFn = void (*)(const uint64_t* words, uint64_t* state);

struct Sha512Lanes::Kernel {
  std::string_view name;
  size_t lanes;
  // What the processor must offer, for the refusal's text, and the test.
  std::string_view needs;
  bool (*runs_on)(const CpuFeatures&);
  // Null for the portable kernel, and for kernels this build leaves out.
  SpinFn spin;
  BlockFn block;
  // A kernel of the same instruction set with half the lanes, which a
  // group that fits it runs on instead; or null.
  const Kernel* half;

  bool built() const { return lanes == 1 || spin != nullptr; }
};

namespace {

using Kernel = Sha512Lanes::Kernel;

constexpr size_t kMaxLanes = 16;
constexpr size_t kStateWords = 8;
constexpr size_t kBlockWords = kSha512BlockLen / 8;

bool runs_anywhere(const CpuFeatures&) { return true; }
bool runs_avx2(const CpuFeatures& f) { return f.avx2 && f.bmi2; }
bool runs_avx512(const CpuFeatures& f) {
  return f.avx512f && f.avx512vl && f.avx512bw && f.bmi2;
}

struct VectorFns {
  SpinFn spin = nullptr;
  BlockFn block = nullptr;
};
#if defined(CELLVAULT_X86_KERNELS)
constexpr VectorFns kAvx2Fns{sha512_spin_avx2, sha512_block_avx2};
constexpr VectorFns kAvx512x8Fns{sha512_spin_avx512x8, sha512_block_avx512x8};
constexpr VectorFns kAvx512x16Fns{sha512_spin_avx512x16, sha512_block_avx512x16};
#else
// Left out of this build; the names stay known, so that forcing one is
// refused as missing from the build rather than as unknown.
constexpr VectorFns kAvx2Fns, kAvx512x8Fns, kAvx512x16Fns;
#endif

constexpr std::string_view kAvx512Needs = "AVX-512F, AVX-512VL, AVX-512BW and BMI2";
constexpr Kernel kPortable{"portable", 1, "", runs_anywhere, nullptr, nullptr, nullptr};
constexpr Kernel kAvx2{"avx2", kAvx2Lanes, "AVX2 and BMI2", runs_avx2,
                       kAvx2Fns.spin, kAvx2Fns.block, nullptr};
constexpr Kernel kAvx512x8{"avx512x8", kAvx512Lanes, kAvx512Needs, runs_avx512,
                           kAvx512x8Fns.spin, kAvx512x8Fns.block, nullptr};
constexpr Kernel kAvx512x16{"avx512x16", kAvx512x16Lanes, kAvx512Needs, runs_avx512,
                            kAvx512x16Fns.spin, kAvx512x16Fns.block, &kAvx512x8};
static_assert(kAvx512x16Lanes <= kMaxLanes);

// From the slowest to the fastest.
constexpr const Kernel* kKernels[] = {&kPortable, &kAvx2, &kAvx512x8, &kAvx512x16};
constexpr std::string_view kNames[] = {kPortable.name, kAvx2.name, kAvx512x8.name,
                                       kAvx512x16.name};
static_assert(std::size(kNames) == std::size(kKernels));

// burn_stack overwrites the stack below its caller, where the kernels ran:
// they keep the lane states in vector registers and may spill some to
// their frame, which no C++ code of ours can name to wipe. In an optimised
// build the kernels' frames take under 3 KiB.
[[gnu::noinline]] void burn_stack() {
  uint8_t area[16384];
  OPENSSL_cleanse(area, sizeof(area));
}

// A group is at most one kernel's lanes of inputs. Its word-major buffers
// hold chain states or message blocks: secrets, wiped on the way out.
// Lanes beyond the group's inputs are zero and their results ignored.
const Kernel& kernel_for_group(const Kernel& k, size_t n) {
  return k.half != nullptr && n <= k.half->lanes ? *k.half : k;
}

void spin_group(const Kernel& k, std::span<Sha512Digest> h, uint64_t count) {
  alignas(64) uint64_t state[kStateWords * kMaxLanes];
  uint64_t words[kStateWords];
  const size_t used = kStateWords * k.lanes;
  ScopedWipe wipe_state(state, used * sizeof(uint64_t));
  ScopedWipe wipe_words(words, sizeof(words));
  if (h.size() < k.lanes) std::fill_n(state, used, 0);
  for (size_t lane = 0; lane < h.size(); ++lane) {
    sha512_load_words(h[lane].data(), kStateWords, words);
    for (size_t w = 0; w < kStateWords; ++w) state[w * k.lanes + lane] = words[w];
  }
  k.spin(state, count);
  for (size_t lane = 0; lane < h.size(); ++lane) {
    for (size_t w = 0; w < kStateWords; ++w) words[w] = state[w * k.lanes + lane];
    sha512_store_words(words, kStateWords, h[lane].data());
  }
}

void block_group(const Kernel& k, std::span<const ByteView> messages,
                 std::span<Sha512Digest> out) {
  alignas(64) uint64_t message_words[kBlockWords * kMaxLanes];
  alignas(64) uint64_t state[kStateWords * kMaxLanes];
  uint8_t block[kSha512BlockLen];
  uint64_t words[kBlockWords];
  const size_t used = kBlockWords * k.lanes;
  ScopedWipe wipe_message(message_words, used * sizeof(uint64_t));
  ScopedWipe wipe_state(state, kStateWords * k.lanes * sizeof(uint64_t));
  ScopedWipe wipe_block(block, sizeof(block));
  ScopedWipe wipe_words(words, sizeof(words));
  if (messages.size() < k.lanes) std::fill_n(message_words, used, 0);
  for (size_t lane = 0; lane < messages.size(); ++lane) {
    const ByteView m = messages[lane];
    if (!m.empty()) std::memcpy(block, m.data(), m.size());
    sha512_pad_block(block, m.size());
    sha512_load_words(block, kBlockWords, words);
    for (size_t w = 0; w < kBlockWords; ++w) message_words[w * k.lanes + lane] = words[w];
  }
  k.block(message_words, state);
  for (size_t lane = 0; lane < messages.size(); ++lane) {
    for (size_t w = 0; w < kStateWords; ++w) words[w] = state[w * k.lanes + lane];
    sha512_store_words(words, kStateWords, out[lane].data());
  }
}

}  // namespace

std::span<const std::string_view> sha512_kernel_names() { return kNames; }

Sha512Lanes Sha512Lanes::fastest(const CpuFeatures& features) {
  for (size_t i = std::size(kKernels); i-- > 0;) {
    const Kernel* k = kKernels[i];
    if (k->built() && k->runs_on(features)) return Sha512Lanes(k);
  }
  return Sha512Lanes(&kPortable);
}

TextResult<Sha512Lanes> Sha512Lanes::named(std::string_view name,
                                           const CpuFeatures& features) {
  for (const Kernel* k : kKernels) {
    if (k->name != name) continue;
    if (!k->built()) {
      return Err{"SHA-512 kernel " + std::string(name) +
                 " is not built into this program (it has the portable "
                 "kernel only)"};
    }
    if (!k->runs_on(features)) {
      return Err{"SHA-512 kernel " + std::string(name) + " needs " +
                 std::string(k->needs) + ", which this processor lacks"};
    }
    return Sha512Lanes(k);
  }
  std::string known;
  for (std::string_view n : kNames) known += (known.empty() ? "" : ", ") + std::string(n);
  return Err{"unknown SHA-512 kernel \"" + std::string(name) + "\" (known: " + known + ")"};
}

TextResult<Sha512Lanes> Sha512Lanes::from_environment() {
  const std::optional<std::string_view> forced = forced_kernel(kSha512KernelVariable);
  if (!forced) return fastest();
  TextResult<Sha512Lanes> kernel = named(*forced);
  if (!kernel.ok()) {
    return Err{std::string(kSha512KernelVariable) + ": " + kernel.error()};
  }
  return kernel;
}

std::string_view Sha512Lanes::name() const { return kernel_->name; }

size_t Sha512Lanes::lanes() const { return kernel_->lanes; }

void Sha512Lanes::spin(std::span<Sha512Digest> h, uint64_t count) const {
  if (kernel_->spin == nullptr) {
    for (Sha512Digest& d : h) sha512_spin(d.data(), count);
    return;
  }
  for (size_t start = 0; start < h.size(); start += kernel_->lanes) {
    const auto group = h.subspan(start, std::min(kernel_->lanes, h.size() - start));
    spin_group(kernel_for_group(*kernel_, group.size()), group, count);
  }
  burn_stack();
}

void Sha512Lanes::one_block(std::span<const ByteView> messages,
                            std::span<Sha512Digest> out) const {
  if (out.size() != messages.size()) {
    abort_call("Sha512Lanes::one_block: " + std::to_string(messages.size()) +
               " messages but room for " + std::to_string(out.size()) + " digests");
  }
  for (ByteView m : messages) {
    if (m.size() > kSha512OneBlockMax) {
      abort_call("Sha512Lanes::one_block: message longer than one block");
    }
  }
  if (kernel_->block == nullptr) {
    for (size_t i = 0; i < messages.size(); ++i) {
      sha512_one_block(messages.subspan(i, 1), out[i].data());
    }
    return;
  }
  for (size_t start = 0; start < messages.size(); start += kernel_->lanes) {
    const size_t n = std::min(kernel_->lanes, messages.size() - start);
    block_group(kernel_for_group(*kernel_, n), messages.subspan(start, n),
                out.subspan(start, n));
  }
  burn_stack();
}

}  // namespace cellvault::lanes
