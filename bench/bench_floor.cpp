// bench_floor: the floors that the end-to-end benchmark (bench_e2e.py)
// divides by, measured in the same run as the calls they bound.
//
//   bench_floor chain       one spin chain: 100000 single-block SHA-512
//                           compressions through SHA512_Transform (its
//                           processor time first, on a line of its own)
//   bench_floor bulk FILE   one AES-256-CBC pass and one SHA-512 pass over
//                           the file's bytes, plus a plain copy of the file
//                           (read it, write it to a new file beside it)
//   bench_floor kernel      the SHA-512 kernel that the command line would
//                           use here (CELLVAULT_SHA512_KERNEL or the
//                           fastest) and its lanes, as "NAME LANES"
//
// chain and bulk print the seconds they took as their last word.

#define OPENSSL_SUPPRESS_DEPRECATED
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/abort.h"
#include "common/file.h"
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

double bulk(const std::string& path) {
  const std::string copy = path + ".floor-copy";
  const double start = now();
  cellvault::File in = cellvault::unwrap(cellvault::File::open_read(path));
  Bytes data = cellvault::unwrap(in.read_to_end());
  {
    cellvault::File out = cellvault::unwrap(cellvault::File::create(copy));
    cellvault::unwrap(out.write_at(data, 0));
    cellvault::unwrap(out.close());
  }
  data.resize((data.size() + 15) / 16 * 16);
  Bytes enc(data.size());
  const uint8_t key[32] = {1}, iv[16] = {2};
  EVP_CIPHER_CTX* aes = EVP_CIPHER_CTX_new();
  int len = 0;
  EVP_EncryptInit_ex(aes, EVP_aes_256_cbc(), nullptr, key, iv);
  EVP_CIPHER_CTX_set_padding(aes, 0);
  EVP_EncryptUpdate(aes, enc.data(), &len, data.data(), static_cast<int>(data.size()));
  EVP_CIPHER_CTX_free(aes);
  uint8_t digest[64];
  SHA512(enc.data(), enc.size(), digest);
  g_sink = digest[0];
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
      std::printf("bulk seconds %.6f\n", bulk(argv[2]));
    } catch (const cellvault::Abort& a) {
      std::fprintf(stderr, "bench_floor: %s\n", a.message().c_str());
      return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "usage: bench_floor chain | bench_floor bulk FILE | bench_floor kernel\n");
  return 2;
}
