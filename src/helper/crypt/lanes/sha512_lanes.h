// SHA-512 across lanes: many independent spin chains, or many one-block
// messages, at once in the lanes of a vector unit.
//
// A spin chain is sequential, but the chains of different files are not;
// neither are the segment IVs of one package. A kernel computes one
// compression for each of its lanes in about the time of a few single
// compressions. The kernels:
//
//   name        lanes  needs
//   portable      1    nothing (OpenSSL's single-block compression)
//   avx2          4    AVX2, BMI2
//   avx512x8      8    AVX-512 F, VL, BW, BMI2
//   avx512x16    16    the same (two groups of 8 interleaved)
//
// Sha512Lanes::from_environment picks the fastest one this processor runs,
// unless the environment variable CELLVAULT_SHA512_KERNEL names another.
// Every kernel gives byte for byte the results of the portable one.

#ifndef CELLVAULT_HELPER_CRYPT_LANES_SHA512_LANES_H_
#define CELLVAULT_HELPER_CRYPT_LANES_SHA512_LANES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"
#include "helper/crypt/lanes/cpu.h"
#include "helper/crypt/sha512_block.h"

namespace cellvault::lanes {

using Sha512Digest = std::array<uint8_t, kSha512DigestLen>;

// The environment variable that forces a kernel by name.
inline constexpr char kSha512KernelVariable[] = "CELLVAULT_SHA512_KERNEL";

// sha512_kernel_names lists every kernel name, from the slowest to the
// fastest, including those that this build or processor lacks.
std::span<const std::string_view> sha512_kernel_names();

// Sha512Lanes is a kernel that this processor runs. It is a small value,
// cheap to copy, and safe to use from several threads at once.
class Sha512Lanes {
 public:
  // fastest returns the fastest kernel that a processor with |features|
  // runs (the portable one at worst).
  static Sha512Lanes fastest(const CpuFeatures& features = cpu_features());

  // named returns the kernel called |name|. It fails, with a text that says
  // why, when the name is unknown, when the kernel is not built into this
  // program (builds for other processors, CELLVAULT_PORTABLE_ONLY), or
  // when a processor with |features| cannot run it. Tests pass other
  // features to check the refusal; running a kernel obtained that way on a
  // processor that lacks them is the caller's fault.
  static TextResult<Sha512Lanes> named(
      std::string_view name, const CpuFeatures& features = cpu_features());

  // from_environment returns the kernel that CELLVAULT_SHA512_KERNEL names
  // when it is set and not empty, and fastest() otherwise. A name that
  // named() refuses is an error that starts with the variable's name; it is
  // never replaced by another kernel. The variable is read on every call.
  static TextResult<Sha512Lanes> from_environment();

  std::string_view name() const;

  // lanes is how many chains or messages one pass of the kernel computes:
  // inputs come best in multiples of it. A smaller last group costs no more
  // than a full one (the 16-lane kernel runs a group of up to 8 on 8 lanes),
  // but no less either: a lone chain is quickest on the portable kernel.
  size_t lanes() const;

  // spin replaces each digest in |h| by the result of |count| iterations of
  // H = SHA-512(LE32(i) || H), i = 0 .. count - 1 (the iterator is the low
  // 32 bits of i): byte for byte sha512_spin on each. Any number of
  // digests is accepted; they run lanes() at a time. The kernel's own
  // buffers are wiped; |h| stays the caller's to wipe.
  void spin(std::span<Sha512Digest> h, uint64_t count) const;

  // one_block writes SHA-512(messages[k]) to out[k] for every k. Each
  // message is at most kSha512OneBlockMax bytes; a longer one, or an |out|
  // of another size than |messages|, aborts the call before anything is
  // computed.
  void one_block(std::span<const ByteView> messages,
                 std::span<Sha512Digest> out) const;

  struct Kernel;

 private:
  explicit Sha512Lanes(const Kernel* kernel) : kernel_(kernel) {}
  const Kernel* kernel_;
};

}  // namespace cellvault::lanes

#endif  // CELLVAULT_HELPER_CRYPT_LANES_SHA512_LANES_H_
