#include "helper/crypt/lanes/cpu.h"

#include <cstdlib>

namespace cellvault::lanes {
namespace {

CpuFeatures detect() {
  CpuFeatures f;
#if defined(__x86_64__) && !defined(CELLVAULT_PORTABLE_ONLY)
  // libgcc's checks include the XGETBV test that the kernel saves the
  // vector registers, so a feature reported here is usable.
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2");
  f.bmi2 = __builtin_cpu_supports("bmi2");
  f.avx512f = __builtin_cpu_supports("avx512f");
  f.avx512vl = __builtin_cpu_supports("avx512vl");
  f.avx512bw = __builtin_cpu_supports("avx512bw");
  f.aesni = __builtin_cpu_supports("aes");
  f.vaes = __builtin_cpu_supports("vaes");
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  // Read once; the processor does not change under a running process.
  static const CpuFeatures features = detect();
  return features;
}

std::optional<std::string_view> forced_kernel(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string_view(value);
}

}  // namespace cellvault::lanes
