// Benchmark of the multi-lane SHA-512 kernels against today's single
// chain (sha512_spin, OpenSSL's SHA512_Transform in a loop), measured side
// by side in one run on one thread, so per core:
//
//  1. Spin chains of 100000 iterations: each kernel runs one full group
//     (lanes() chains) per repetition; chains per second against the
//     single chain's.
//  2. One-block messages: the 12800 segment IVs of a 50 MiB package,
//     SHA-512(16-byte salt || LE32(k)), against sha512_one_block in a loop.
//
// Ratios are medians of the per-repetition ratios; the repetitions
// interleave the contenders so that a change of load hits them alike.
//
// Usage: bench_lanes [repetitions] (default 7, at least 5).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "common/bytes.h"
#include "helper/crypt/lanes/sha512_lanes.h"
#include "helper/crypt/sha512_block.h"

namespace {

using cellvault::Bytes;
using cellvault::ByteView;
using cellvault::lanes::Sha512Digest;
using cellvault::lanes::Sha512Lanes;
using cellvault::bench::median;
using cellvault::bench::seconds;

constexpr uint64_t kSpinCount = 100000;
constexpr uint32_t kSegments = 12800;
// The IVs of one package take a few milliseconds: each timing covers
// several passes, so that a single preemption does not decide the ratio.
constexpr int kIvPasses = 8;

std::string load_average() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

volatile uint8_t g_sink;

struct Contender {
  Sha512Lanes kernel;
  std::vector<double> chain_ratio, block_ratio, chain_seconds, block_seconds;
};

}  // namespace

int main(int argc, char** argv) {
  const int reps = std::max(5, argc > 1 ? std::atoi(argv[1]) : 7);
  std::vector<Contender> contenders;
  for (std::string_view name : cellvault::lanes::sha512_kernel_names()) {
    auto kernel = Sha512Lanes::named(name);
    if (kernel.ok()) {
      contenders.push_back({*kernel, {}, {}, {}, {}});
    } else {
      std::printf("%-10s skipped: %s\n", std::string(name).c_str(), kernel.error().c_str());
    }
  }

  // The segment IV messages: salt || LE32(k).
  const Bytes salt(16, 0x5a);
  std::vector<Bytes> messages(kSegments, salt);
  for (uint32_t k = 0; k < kSegments; ++k) cellvault::add_u32le(messages[k], k);
  const std::vector<ByteView> views(messages.begin(), messages.end());
  std::vector<Sha512Digest> digests(kSegments);

  const std::string load_before = load_average();
  std::vector<double> base_chain, base_block;
  for (int r = 0; r < reps; ++r) {
    Sha512Digest single{};
    single[0] = static_cast<uint8_t>(r);
    const double chain = seconds([&] { cellvault::sha512_spin(single.data(), kSpinCount); });
    const double block = seconds([&] {
      for (int pass = 0; pass < kIvPasses; ++pass) {
        for (uint32_t k = 0; k < kSegments; ++k) {
          cellvault::sha512_one_block(std::span(views).subspan(k, 1), digests[k].data());
        }
      }
    }) / kIvPasses;
    g_sink = single[0] ^ digests[7][0];
    base_chain.push_back(chain);
    base_block.push_back(block);
    for (Contender& c : contenders) {
      std::vector<Sha512Digest> group(c.kernel.lanes());
      for (size_t k = 0; k < group.size(); ++k) group[k][0] = static_cast<uint8_t>(k + r);
      const double t = seconds([&] { c.kernel.spin(group, kSpinCount); });
      const double b = seconds([&] {
        for (int pass = 0; pass < kIvPasses; ++pass) c.kernel.one_block(views, digests);
      }) / kIvPasses;
      g_sink = group[0][0] ^ digests[7][0];
      c.chain_seconds.push_back(t);
      c.block_seconds.push_back(b);
      c.chain_ratio.push_back((static_cast<double>(group.size()) / t) / (1 / chain));
      c.block_ratio.push_back(block / b);
    }
  }

  std::printf("repetitions: %d (medians); one thread; load average %s before, %s after\n",
              reps, load_before.c_str(), load_average().c_str());
  std::printf("baseline sha512_spin, one chain of %llu: %.2f ms = %.1f chains/s\n",
              static_cast<unsigned long long>(kSpinCount), median(base_chain) * 1e3,
              1 / median(base_chain));
  std::printf("baseline sha512_one_block, %u segment IVs: %.3f ms\n", kSegments,
              median(base_block) * 1e3);
  std::printf("%-10s %5s %12s %12s %10s %14s %10s\n", "kernel", "lanes", "group ms",
              "chains/s", "ratio", "IVs ms", "ratio");
  for (const Contender& c : contenders) {
    const double t = median(c.chain_seconds);
    std::printf("%-10s %5zu %12.2f %12.1f %9.2fx %14.3f %9.2fx\n",
                std::string(c.kernel.name()).c_str(), c.kernel.lanes(), t * 1e3,
                static_cast<double>(c.kernel.lanes()) / t, median(c.chain_ratio),
                median(c.block_seconds) * 1e3, median(c.block_ratio));
  }
  const auto chosen = Sha512Lanes::from_environment();
  std::printf("kernel in use: %s\n",
              chosen.ok() ? std::string(chosen->name()).c_str() : chosen.error().c_str());
  return 0;
}
