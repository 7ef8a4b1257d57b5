// Benchmark of the encryption core against its floors, measured side by
// side in one run (medians of interleaved repetitions):
//
//  1. Password keys: the three keys from one spin chain, against the floor
//     of 100000 single-block SHA-512 compressions, and the naive reference
//     of three derivations with a one-shot SHA512() call per iteration.
//  2. Package: what encrypt runs on a 64 MiB package, the segments
//     encrypted in place in its PackageBuffer and hmac over the stream,
//     against the floor of one AES-256-CBC pass in place plus one SHA-512
//     pass over 64 MiB with one reused OpenSSL context each.
//  3. Peak extra memory of that path beyond the package's own buffer,
//     counted by this program's own operator new (all C++ allocations;
//     OpenSSL's few small contexts are not counted) and cross-checked with
//     getrusage's maxrss.
//
// Usage: bench_crypto [repetitions] (default 7, at least 5).

// The floor uses the single-block compression directly.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/package_buffer.h"
#include "helper/crypt/crypt.h"
#include "helper/crypt/hash.h"
#include "helper/crypt/integrity.h"

namespace {

// Allocation accounting: current and peak bytes held through operator new.
std::atomic<size_t> g_current{0};
std::atomic<size_t> g_peak{0};

void note_alloc(size_t n) {
  const size_t now = g_current.fetch_add(n) + n;
  size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

// Each block carries its size in front so that delete can account for it.
// Neither is inlined: the compiler would then see free() of a pointer that
// came from new, 16 bytes into a block, and warn about both.
[[gnu::noinline]] void* operator new(size_t n) {
  void* p = std::malloc(n + 16);
  if (p == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(p) = n;
  note_alloc(n);
  return static_cast<char*>(p) + 16;
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - 16;
  g_current.fetch_sub(*reinterpret_cast<size_t*>(base));
  std::free(base);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

using cellvault::Bytes;
using cellvault::ByteView;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kSpinCount = 100000;
constexpr size_t kPackageLen = 64u << 20;

double seconds(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

volatile uint8_t g_sink;

void three_keys(ByteView salt) {
  const std::array<ByteView, 3> block_keys = {
      cellvault::kBlockKeyEncryptedKeyValue,
      cellvault::kBlockKeyVerifierHashInput,
      cellvault::kBlockKeyVerifierHashValue};
  const auto keys = cellvault::convert_password_to_keys(
      "Password1", "SHA512", salt, kSpinCount, 256, block_keys);
  g_sink = keys[2][0];
}

void compression_floor() {
  SHA512_CTX ctx;
  SHA512_Init(&ctx);
  alignas(8) uint8_t block[128] = {1, 2, 3};
  for (uint64_t i = 0; i < kSpinCount; ++i) SHA512_Transform(&ctx, block);
  g_sink = static_cast<uint8_t>(ctx.h[0]);
}

// naive_key is a derivation with a one-shot digest call per iteration.
void naive_key(ByteView salt, ByteView block_key) {
  const char16_t password[] = u"Password1";
  uint8_t msg[4 + 64], h[64];
  std::vector<uint8_t> first(salt.begin(), salt.end());
  first.insert(first.end(), reinterpret_cast<const uint8_t*>(password),
               reinterpret_cast<const uint8_t*>(password) + 18);
  SHA512(first.data(), first.size(), h);
  for (uint64_t i = 0; i < kSpinCount; ++i) {
    cellvault::store_u32le(msg, static_cast<uint32_t>(i));
    std::memcpy(msg + 4, h, 64);
    SHA512(msg, sizeof(msg), h);
  }
  uint8_t last[64 + 8];
  std::memcpy(last, h, 64);
  std::memcpy(last + 64, block_key.data(), 8);
  SHA512(last, sizeof(last), h);
  g_sink = h[0];
}

void naive_three(ByteView salt) {
  naive_key(salt, cellvault::kBlockKeyEncryptedKeyValue);
  naive_key(salt, cellvault::kBlockKeyVerifierHashInput);
  naive_key(salt, cellvault::kBlockKeyVerifierHashValue);
}

// package_and_hmac runs encrypt's package steps on |package|: the stream
// made in place, then its HMAC. Each repetition encrypts what the last one
// left, which costs the same as encrypting the plain package.
void package_and_hmac(ByteView salt, ByteView key, ByteView hmac_key,
                      cellvault::PackageBuffer& package) {
  const size_t len = cellvault::crypt_package_in_place(
      "AES", "ChainingModeCBC", "SHA512", 16, salt, key, package.storage(),
      package.package_len());
  const ByteView stream = package.storage().first(len);
  const auto mac = cellvault::hmac("SHA512", hmac_key, {stream});
  g_sink = stream[8] ^ (*mac)[0];
}

// package_floor: one CBC pass in place, one SHA-512 pass over the result.
void package_floor(EVP_CIPHER_CTX* aes, EVP_MD_CTX* md, ByteView key,
                   ByteView iv, std::span<uint8_t> data) {
  int len = 0;
  EVP_EncryptInit_ex(aes, EVP_aes_256_cbc(), nullptr, key.data(), iv.data());
  EVP_CIPHER_CTX_set_padding(aes, 0);
  EVP_EncryptUpdate(aes, data.data(), &len, data.data(),
                    static_cast<int>(data.size()));
  uint8_t digest[64];
  unsigned int dlen = 0;
  EVP_DigestInit_ex(md, EVP_sha512(), nullptr);
  EVP_DigestUpdate(md, data.data(), data.size());
  EVP_DigestFinal_ex(md, digest, &dlen);
  g_sink = data[0] ^ digest[0];
}

long maxrss_kib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = std::max(5, argc > 1 ? std::atoi(argv[1]) : 7);
  const Bytes salt(16, 0x11), key(32, 0x22), hmac_key(64, 0x33), iv(16, 0x44);
  Bytes plain(kPackageLen);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  // The package as encrypt receives it, and a buffer of the same size for
  // the floor.
  cellvault::PackageBuffer package = cellvault::PackageBuffer::copy_of(plain);
  Bytes floor_data = plain;

  // Memory first, before anything else has raised the high-water marks.
  const size_t base_current = g_current.load();
  g_peak.store(base_current);
  const long rss_before = maxrss_kib();
  package_and_hmac(salt, key, hmac_key, package);
  const size_t peak_extra = g_peak.load() - base_current;
  const long rss_delta = maxrss_kib() - rss_before;

  std::vector<double> chain, floor, naive, pkg, pkg_floor;
  EVP_CIPHER_CTX* aes = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  for (int r = 0; r < reps; ++r) {
    chain.push_back(seconds([&] { three_keys(salt); }));
    floor.push_back(seconds(compression_floor));
    naive.push_back(seconds([&] { naive_three(salt); }));
    pkg.push_back(seconds([&] { package_and_hmac(salt, key, hmac_key, package); }));
    pkg_floor.push_back(seconds([&] { package_floor(aes, md, key, iv, floor_data); }));
  }
  EVP_CIPHER_CTX_free(aes);
  EVP_MD_CTX_free(md);

  const double a = median(chain), b = median(floor), n = median(naive);
  const double p = median(pkg), pf = median(pkg_floor);
  std::printf("repetitions: %d (medians)\n", reps);
  std::printf("password keys, one chain (3 keys):     %8.2f ms\n", a * 1e3);
  std::printf("floor, %llu SHA512_Transform:        %8.2f ms\n",
              static_cast<unsigned long long>(kSpinCount), b * 1e3);
  std::printf("ratio chain / floor:                   %8.3f  (target <= 1.15)\n", a / b);
  std::printf("naive, 3 derivations, SHA512() each:   %8.2f ms  (%.2fx the chain)\n",
              n * 1e3, n / a);
  std::printf("package in place + hmac, 64 MiB:       %8.2f ms\n", p * 1e3);
  std::printf("floor, AES-256-CBC + SHA-512, 64 MiB:  %8.2f ms\n", pf * 1e3);
  std::printf("ratio package / floor:                 %8.3f  (target <= 1.15)\n", p / pf);
  std::printf("peak extra memory, package in place + hmac: %zu bytes "
              "(operator new count); maxrss delta %ld KiB\n",
              peak_extra, rss_delta);
  return 0;
}
