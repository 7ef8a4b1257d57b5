// Benchmark of the multi-lane AES-256-CBC kernels, measured side by side
// in one run (medians of interleaved repetitions): 50 MiB in 4096-byte
// segments, each under its own IV, against the reference of one OpenSSL
// context re-IV'd per segment, as the package encryption did before the
// kernels. Every kernel that runs here is timed in place (as the package
// encryption uses it) and out of place (into a second buffer), and checked
// once against the reference's bytes. When the build found Intel's ipsec-mb,
// its cipher burst over the same segments is timed too.
//
// The same work is timed once more as 100 passes over one batch of 128
// segments (512 KiB) that stays in the cache: what the kernels do when
// memory is not the limit, as in a pass that encrypts a chunk while it is
// still in the cache.
//
// Usage: bench_aes [repetitions] (default 11, at least 5).

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "common/abort.h"
#include "common/bytes.h"
#include "helper/crypt/lanes/aes_cbc.h"

#if defined(CELLVAULT_BENCH_IPSEC_MB)
#include <intel-ipsec-mb.h>
#endif

namespace {

using cellvault::Bytes;
using cellvault::ByteView;
using cellvault::bench::median;
using cellvault::bench::seconds;
using cellvault::lanes::Aes256CbcSegments;
using cellvault::lanes::AesKernel;

constexpr size_t kLen = 50u << 20;
constexpr size_t kSeg = cellvault::lanes::kCbcSegmentLen;
constexpr size_t kSegments = kLen / kSeg;
constexpr size_t kBatchSegments = 128;
constexpr size_t kBatchLen = kBatchSegments * kSeg;
constexpr size_t kBatchPasses = kLen / kBatchLen;

Bytes pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed;
  for (uint8_t& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

// reference: one context, its key schedule kept, a new IV per segment.
void reference(EVP_CIPHER_CTX* ctx, ByteView key, const uint8_t* in,
               uint8_t* out, size_t segments, ByteView ivs) {
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (size_t k = 0; k < segments; ++k) {
    int len = 0;
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, ivs.data() + 16 * k);
    EVP_EncryptUpdate(ctx, out + k * kSeg, &len, in + k * kSeg,
                      static_cast<int>(kSeg));
  }
}

struct Candidate {
  std::string name;
  std::function<void()> run;
  std::vector<double> times;
};

// print_ratios prints each candidate's median against the first one's.
void print_ratios(const std::vector<Candidate>& candidates) {
  const double ref = median(candidates[0].times);
  for (const Candidate& c : candidates) {
    const double m = median(c.times);
    std::printf("  %-52s %8.2f ms  %6.2f GB/s  %5.2fx the reference\n",
                c.name.c_str(), m * 1e3, kLen / m / 1e9, ref / m);
  }
}

#if defined(CELLVAULT_BENCH_IPSEC_MB)
// IpsecMb runs the segments through the library's cipher burst, at most
// IMB_MAX_BURST_SIZE jobs per call, in place.
class IpsecMb {
 public:
  explicit IpsecMb(ByteView key) : mgr_(alloc_mb_mgr(0)) {
    init_mb_mgr_auto(mgr_, &arch_);
    IMB_AES_KEYEXP_256(mgr_, key.data(), enc_, dec_);
  }
  ~IpsecMb() { free_mb_mgr(mgr_); }
  const char* arch_name() const {
    switch (arch_) {
      case IMB_ARCH_SSE:
        return "sse";
      case IMB_ARCH_AVX:
        return "avx";
      case IMB_ARCH_AVX2:
        return "avx2";
      case IMB_ARCH_AVX512:
        return "avx512";
      default:
        return "other";
    }
  }
  void run(uint8_t* data, size_t segments, ByteView ivs) {
    for (size_t first = 0; first < segments; first += IMB_MAX_BURST_SIZE) {
      const size_t n = std::min<size_t>(IMB_MAX_BURST_SIZE, segments - first);
      for (size_t i = 0; i < n; ++i) {
        IMB_JOB& job = jobs_[i];
        job.enc_keys = enc_;
        job.key_len_in_bytes = 32;
        job.src = data + (first + i) * kSeg;
        job.dst = data + (first + i) * kSeg;
        job.cipher_start_src_offset_in_bytes = 0;
        job.msg_len_to_cipher_in_bytes = kSeg;
        job.iv = ivs.data() + 16 * (first + i);
        job.iv_len_in_bytes = 16;
      }
      const uint32_t done = IMB_SUBMIT_CIPHER_BURST(
          mgr_, jobs_, static_cast<uint32_t>(n), IMB_CIPHER_CBC,
          IMB_DIR_ENCRYPT, IMB_KEY_256_BYTES);
      if (done != n) {
        std::fprintf(stderr, "ipsec-mb: %u of %zu jobs done\n", done, n);
        std::exit(1);
      }
    }
  }

 private:
  IMB_MGR* mgr_;
  IMB_ARCH arch_ = IMB_ARCH_NONE;
  alignas(16) uint8_t enc_[16 * 15];
  alignas(16) uint8_t dec_[16 * 15];
  IMB_JOB jobs_[IMB_MAX_BURST_SIZE] = {};
};
#endif

}  // namespace

int main(int argc, char** argv) {
  const int reps = std::max(5, argc > 1 ? std::atoi(argv[1]) : 11);
  const Bytes key = pattern(32, 1), ivs = pattern(16 * kSegments, 2);
  const Bytes plain = pattern(kLen, 3);
  // Both buffers are touched before timing: no page faults inside a run.
  Bytes data = plain, out(kLen, 0);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();

  Bytes want(kLen);
  reference(ctx, key, plain.data(), want.data(), kSegments, ivs);

  std::vector<Candidate> candidates;
  candidates.push_back(
      {"openssl EVP, re-IV'd per segment (reference)",
       [&] { reference(ctx, key, data.data(), data.data(), kSegments, ivs); },
       {}});
  // The cached batch: its own buffer and the first 128 IVs.
  Bytes batch(plain.begin(), plain.begin() + kBatchLen);
  const ByteView batch_ivs = ByteView(ivs).first(16 * kBatchSegments);
  std::vector<Candidate> cached;
  cached.push_back({"openssl EVP, re-IV'd per segment (reference)",
                    [&] {
                      for (size_t p = 0; p < kBatchPasses; ++p) {
                        reference(ctx, key, batch.data(), batch.data(),
                                  kBatchSegments, batch_ivs);
                      }
                    },
                    {}});
  std::vector<Aes256CbcSegments> ciphers;
  ciphers.reserve(std::size(cellvault::lanes::kAesKernels));
  for (AesKernel k : cellvault::lanes::kAesKernels) {
    if (!cellvault::lanes::aes_kernel_runs_here(k)) {
      std::printf("kernel %-8s does not run here, not measured\n",
                  std::string(cellvault::lanes::aes_kernel_name(k)).c_str());
      continue;
    }
    ciphers.push_back(cellvault::unwrap(Aes256CbcSegments::create(k, key)));
    Aes256CbcSegments* aes = &ciphers.back();
    Bytes check(kLen);
    aes->encrypt(plain, check, ivs);
    if (check != want) {
      std::fprintf(stderr, "kernel %s differs from the reference\n",
                   std::string(cellvault::lanes::aes_kernel_name(k)).c_str());
      return 1;
    }
    const std::string name(cellvault::lanes::aes_kernel_name(k));
    candidates.push_back({"kernel " + name + ", in place",
                          [aes, &data, &ivs] { aes->encrypt(data, data, ivs); },
                          {}});
    candidates.push_back(
        {"kernel " + name + ", out of place",
         [aes, &plain, &out, &ivs] { aes->encrypt(plain, out, ivs); },
         {}});
    cached.push_back({"kernel " + name + ", in place",
                      [aes, &batch, batch_ivs] {
                        for (size_t p = 0; p < kBatchPasses; ++p) {
                          aes->encrypt(batch, batch, batch_ivs);
                        }
                      },
                      {}});
  }
#if defined(CELLVAULT_BENCH_IPSEC_MB)
  IpsecMb ipsec(key);
  {
    Bytes check = plain;
    ipsec.run(check.data(), kSegments, ivs);
    if (check != want) {
      std::fprintf(stderr, "ipsec-mb differs from the reference\n");
      return 1;
    }
  }
  candidates.push_back({std::string("ipsec-mb ") + IMB_VERSION_STR + " (" +
                            ipsec.arch_name() + ") cipher burst, in place",
                        [&] { ipsec.run(data.data(), kSegments, ivs); },
                        {}});
  cached.push_back({candidates.back().name,
                    [&] {
                      for (size_t p = 0; p < kBatchPasses; ++p) {
                        ipsec.run(batch.data(), kBatchSegments, batch_ivs);
                      }
                    },
                    {}});
#else
  std::printf("ipsec-mb: not found at build time, not measured\n");
#endif

  for (int r = 0; r < reps; ++r) {
    for (Candidate& c : candidates) c.times.push_back(seconds(c.run));
    for (Candidate& c : cached) c.times.push_back(seconds(c.run));
  }
  EVP_CIPHER_CTX_free(ctx);

  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) load[0] = load[1] = load[2] = -1;
  const auto chosen = cellvault::lanes::aes_kernel_to_use();
  std::printf(
      "AES-256-CBC, 50 MiB in %zu segments of %zu bytes, %d repetitions "
      "(medians)\n",
      kSegments, kSeg, reps);
  std::printf(
      "kernel the package encryption uses here: %s\n",
      chosen.ok()
          ? std::string(cellvault::lanes::aes_kernel_name(*chosen)).c_str()
          : chosen.error().c_str());
  print_ratios(candidates);
  std::printf("the same 50 MiB as %zu passes over one cached %zu KiB batch:\n",
              kBatchPasses, kBatchLen >> 10);
  print_ratios(cached);
  std::printf("load average: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  return 0;
}
