// What the processor offers the multi-lane kernels, read once.
//
// The kernels under lanes/ come in several builds (portable C++, AVX2,
// AVX-512, AES-NI, VAES); each family picks the fastest one that this
// processor runs. An environment variable per family forces one kernel so
// that tests and benchmarks can run every kernel the machine supports; see
// forced_kernel.

#ifndef CELLVAULT_HELPER_CRYPT_LANES_CPU_H_
#define CELLVAULT_HELPER_CRYPT_LANES_CPU_H_

#include <optional>
#include <string_view>

namespace cellvault::lanes {

struct CpuFeatures {
  bool avx2 = false;
  bool bmi2 = false;
  bool avx512f = false;
  bool avx512vl = false;
  bool avx512bw = false;
  bool aesni = false;
  bool vaes = false;
};

// cpu_features reports what this processor and the operating system
// support (vector state enabled by the kernel included). Everything is
// false on processors other than x86-64 and in builds made with
// CELLVAULT_PORTABLE_ONLY, which compile the portable kernels alone.
const CpuFeatures& cpu_features();

// forced_kernel returns the value of the environment variable |name| when
// it is set and not empty: the name of the kernel to use instead of the
// fastest. The family that reads it decides what an unknown or unsupported
// name means (it refuses it; it never falls back silently).
std::optional<std::string_view> forced_kernel(const char* name);

}  // namespace cellvault::lanes

#endif  // CELLVAULT_HELPER_CRYPT_LANES_CPU_H_
