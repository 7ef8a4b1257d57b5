// bench_floor: the floors that the end-to-end benchmark (bench_e2e.py)
// divides by, measured in the same run as the calls they bound.
//
//   bench_floor chain       one spin chain: 100000 single-block SHA-512
//                           compressions through SHA512_Transform (its
//                           processor time first, on a line of its own)
//   bench_floor bulk FILE   reading the file, one AES-256-CBC pass over its
//                           4096-byte segments with the fastest multi-lane
//                           kernel (or CELLVAULT_AES_KERNEL's), one SHA-512
//                           pass, and writing the bytes to a new file beside
//                           it, then flushing that to disk (fsync): one step
//                           after the other, 4 MiB at a time through one
//                           reused buffer, so any size fits in memory
//   bench_floor kernel      the SHA-512 kernel that the command line would
//                           use here (CELLVAULT_SHA512_KERNEL or the
//                           fastest) and its lanes, as "NAME LANES"
//
// chain and bulk print the seconds they took as their last word (bulk
// names the AES kernel before it).

#define OPENSSL_SUPPRESS_DEPRECATED
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/abort.h"
#include "common/file.h"
#include "helper/crypt/lanes/aes_cbc.h"
#include "helper/crypt/lanes/sha512_lanes.h"

namespace {

using cellvault::Bytes;

volatile uint8_t g_sink;

double now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// thread_cpu is the processor time this thread has used, in seconds.
double thread_cpu() {
  struct timespec t {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double chain(double* cpu) {
  const double start = now();
  const double cpu_start = thread_cpu();
  SHA512_CTX ctx;
  SHA512_Init(&ctx);
  alignas(8) uint8_t block[128] = {1, 2, 3};
  for (int i = 0; i < 100000; ++i) SHA512_Transform(&ctx, block);
  g_sink = static_cast<uint8_t>(ctx.h[0]);
  *cpu = thread_cpu() - cpu_start;
  return now() - start;
}

double bulk(const std::string& path, std::string_view* kernel_name) {
  using namespace cellvault;
  const std::string copy = path + ".floor-copy";
  const lanes::AesKernel kernel = unwrap(lanes::aes_kernel_to_use());
  *kernel_name = lanes::aes_kernel_name(kernel);
  const uint8_t key[32] = {1};
  lanes::Aes256CbcSegments aes = unwrap(lanes::Aes256CbcSegments::create(kernel, key));
  const double start = now();
  File in = unwrap(File::open_read(path));
  File out = unwrap(File::create(copy));
  // Runs of 128 segments, the IVs of each run all zero: the IVs' own
  // hashing is not part of this floor.
  constexpr size_t kChunk = size_t{4} << 20;
  constexpr size_t kRun = 128 * lanes::kCbcSegmentLen;
  static const Bytes ivs(128 * lanes::kCbcBlockLen, 0);
  Bytes data(kChunk + 15);
  SHA512_CTX sha;
  SHA512_Init(&sha);
  uint64_t offset = 0;
  for (;;) {
    size_t got = 0;
    while (got < kChunk) {
      const size_t n = unwrap(in.read(std::span<uint8_t>(data.data() + got, kChunk - got)));
      if (n == 0) break;
      got += n;
    }
    if (got == 0) break;
    const size_t padded = (got + 15) / 16 * 16;
    std::memset(data.data() + got, 0, padded - got);
    for (size_t at = 0; at < padded; at += kRun) {
      const size_t n = std::min(kRun, padded - at);
      const size_t segments = (n + lanes::kCbcSegmentLen - 1) / lanes::kCbcSegmentLen;
      const std::span<uint8_t> run(data.data() + at, n);
      aes.encrypt(run, run, ByteView(ivs).first(segments * lanes::kCbcBlockLen));
    }
    SHA512_Update(&sha, data.data(), padded);
    unwrap(out.write_at(ByteView(data).first(padded), offset));
    offset += padded;
    if (got < kChunk) break;
  }
  uint8_t digest[64];
  SHA512_Final(digest, &sha);
  g_sink = digest[0];
  unwrap(out.sync());
  unwrap(out.close());
  const double elapsed = now() - start;
  unlink(copy.c_str());
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "chain") == 0) {
    double cpu = 0;
    const double wall = chain(&cpu);
    std::printf("chain cpu seconds %.6f\nchain seconds %.6f\n", cpu, wall);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "kernel") == 0) {
    const auto kernel = cellvault::lanes::Sha512Lanes::from_environment();
    if (!kernel.ok()) {
      std::fprintf(stderr, "bench_floor: %s\n", kernel.error().c_str());
      return 1;
    }
    std::printf("%s %zu\n", std::string(kernel->name()).c_str(), kernel->lanes());
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "bulk") == 0) {
    try {
      std::string_view kernel;
      const double seconds = bulk(argv[2], &kernel);
      std::printf("bulk kernel %.*s seconds %.6f\n", static_cast<int>(kernel.size()),
                  kernel.data(), seconds);
    } catch (const cellvault::Abort& a) {
      std::fprintf(stderr, "bench_floor: %s\n", a.message().c_str());
      return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "usage: bench_floor chain | bench_floor bulk FILE | bench_floor kernel\n");
  return 2;
}
