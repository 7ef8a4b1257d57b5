// AES-256-CBC over many independent segments under one key.
//
// A package is encrypted in segments of 4096 bytes, each a CBC chain of its
// own under its own IV. Within a segment the blocks wait for each other,
// but the segments do not, so the kernels here run several segments side
// by side in vector lanes:
//
//   openssl  OpenSSL's EVP AES-256-CBC, one context re-IV'd per segment:
//            the portable kernel, and the reference the others are tested
//            against.
//   aesni    eight segments interleaved with AES-NI.
//   vaes     sixteen segments with VAES, four to each of four 512-bit
//            registers.
//
// The fastest kernel that this processor runs is used unless the
// environment variable CELLVAULT_AES_KERNEL names another; a name that is
// unknown, or a kernel that cannot run here, is refused, never replaced.

#ifndef CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_H_
#define CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

namespace cellvault::lanes {

// The segment length: every segment of a run but the last has it.
inline constexpr size_t kCbcSegmentLen = 4096;
inline constexpr size_t kCbcBlockLen = 16;
inline constexpr size_t kCbcKeyLen = 32;
inline constexpr char kAesKernelVariable[] = "CELLVAULT_AES_KERNEL";

enum class AesKernel { kOpenssl, kAesni, kVaes };

// Every kernel, slowest first.
inline constexpr AesKernel kAesKernels[] = {
    AesKernel::kOpenssl, AesKernel::kAesni, AesKernel::kVaes};

// aes_kernel_name returns the kernel's name as CELLVAULT_AES_KERNEL spells
// it: "openssl", "aesni" or "vaes".
std::string_view aes_kernel_name(AesKernel kernel);

// aes_kernel_runs_here reports whether |kernel| is built into this program
// and this processor has the instructions it needs. The openssl kernel
// always runs.
bool aes_kernel_runs_here(AesKernel kernel);

// aes_kernel_to_use returns the kernel that CELLVAULT_AES_KERNEL names when
// it is set and not empty, otherwise the fastest that runs here. The
// variable is read on every call.
//
// Errors: a name that is no kernel's, or a kernel that does not run here;
// the text names the variable, its value and the reason.
TextResult<AesKernel> aes_kernel_to_use();

// Aes256CbcSegments holds the key schedule of one AES-256 key for one
// kernel and encrypts runs of segments under it. The schedule lives in one
// heap block of the object's own, wiped when it is released; a move hands
// the block over.
class Aes256CbcSegments {
 public:
  // create expands |key| for |kernel|.
  //
  // Errors: a key that is not 32 bytes gives "key size not supported!"; a
  // kernel that does not run here gives a text naming it and the reason.
  static TextResult<Aes256CbcSegments> create(AesKernel kernel, ByteView key);

  Aes256CbcSegments(Aes256CbcSegments&&) noexcept;
  Aes256CbcSegments& operator=(Aes256CbcSegments&&) noexcept;
  ~Aes256CbcSegments();

  AesKernel kernel() const { return kernel_; }

  // encrypt encrypts the run |in|, a whole number of 16-byte blocks, into
  // |out|, as long. The run is cut into segments of kCbcSegmentLen bytes
  // (the last one shorter when the length is not a multiple of it), and
  // segment k is encrypted with AES-256-CBC, without padding, under the IV
  // at ivs[16 k, 16 k + 16). |out| is either |in| itself (in place) or does
  // not overlap it. An empty run does nothing.
  //
  // Aborts the call, before anything is written, when |out| is not as long
  // as |in|, when the length is not a multiple of 16, when |ivs| does not
  // hold exactly 16 bytes per segment, and when |in| and |out| overlap
  // without being the same bytes.
  void encrypt(ByteView in, std::span<uint8_t> out, ByteView ivs);

 private:
  struct Schedule;
  struct ScheduleWipe {
    void operator()(Schedule* s) const;
  };

  Aes256CbcSegments(AesKernel kernel,
                    std::unique_ptr<Schedule, ScheduleWipe> s);

  AesKernel kernel_;
  std::unique_ptr<Schedule, ScheduleWipe> schedule_;
};

}  // namespace cellvault::lanes

#endif  // CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_H_
