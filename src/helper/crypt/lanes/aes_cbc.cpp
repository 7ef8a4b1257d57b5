#include "helper/crypt/lanes/aes_cbc.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "common/abort.h"
#include "helper/crypt/lanes/aes_cbc_kernels.h"
#include "helper/crypt/lanes/cpu.h"
#include "helper/crypt/ossl.h"

namespace cellvault::lanes {

static_assert(kCbcSegmentLen == kernels::kCbcSegmentLen);

// The schedule of one key: the OpenSSL context for the openssl kernel, the
// round keys for the others, and for vaes each round key four times over,
// ready for a 512-bit register.
struct alignas(64) Aes256CbcSegments::Schedule {
  uint8_t wide_keys[kernels::kAes256RoundKeys * 64];
  uint8_t round_keys[kernels::kAes256ScheduleLen];
  EvpCipherCtx ctx;
};

void Aes256CbcSegments::ScheduleWipe::operator()(Schedule* s) const {
  OPENSSL_cleanse(s->wide_keys, sizeof(s->wide_keys));
  OPENSSL_cleanse(s->round_keys, sizeof(s->round_keys));
  delete s;  // EVP_CIPHER_CTX_free wipes the context's own copy
}

namespace {

constexpr std::string_view kKeySizeError = "key size not supported!";

// why_not returns the reason |kernel| cannot run here, or nothing when it
// can.
std::optional<std::string_view> why_not(AesKernel kernel) {
  if (kernel == AesKernel::kOpenssl) return std::nullopt;
#if defined(CELLVAULT_X86_KERNELS)
  const CpuFeatures& f = cpu_features();
  if (kernel == AesKernel::kAesni) {
    if (f.aesni) return std::nullopt;
    return "this processor has no AES-NI";
  }
  if (f.aesni && f.vaes && f.avx512f && f.avx512vl && f.avx512bw) {
    return std::nullopt;
  }
  return "this processor lacks VAES or AVX-512 (F, VL, BW)";
#else
  return "this build has the portable kernel only";
#endif
}

std::optional<AesKernel> kernel_named(std::string_view name) {
  for (AesKernel k : kAesKernels) {
    if (aes_kernel_name(k) == name) return k;
  }
  return std::nullopt;
}

std::string known_names() {
  std::string out;
  for (AesKernel k : kAesKernels) {
    if (!out.empty()) out += ", ";
    out += aes_kernel_name(k);
  }
  return out;
}

std::string refusal(AesKernel kernel, std::string_view reason) {
  return "the " + std::string(aes_kernel_name(kernel)) +
         " AES kernel cannot run here: " + std::string(reason);
}

bool overlap(const uint8_t* a, const uint8_t* b, size_t n) {
  // Compared as addresses: the two buffers may be separate objects.
  const std::less<const uint8_t*> before;
  return before(a, b + n) && before(b, a + n);
}

size_t segment_count(size_t len) {
  return (len + kCbcSegmentLen - 1) / kCbcSegmentLen;
}

// encrypt_openssl re-IVs the one context for each segment; the key
// schedule in it stays.
void encrypt_openssl(EVP_CIPHER_CTX* ctx, const uint8_t* in, uint8_t* out,
                     size_t len, const uint8_t* ivs) {
  for (size_t off = 0, k = 0; off < len; off += kCbcSegmentLen, ++k) {
    const size_t n = std::min(kCbcSegmentLen, len - off);
    check_openssl(EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr,
                                     ivs + k * kCbcBlockLen),
                  "EVP_EncryptInit_ex");
    int out_len = 0;
    check_openssl(EVP_EncryptUpdate(ctx, out + off, &out_len, in + off,
                                    static_cast<int>(n)),
                  "EVP_EncryptUpdate");
    if (static_cast<size_t>(out_len) != n) {
      abort_call("AES-256-CBC: the cipher returned a short segment");
    }
  }
}

#if defined(CELLVAULT_X86_KERNELS)
using LaneKernel = void (*)(const uint8_t* keys, const uint8_t* in,
                            uint8_t* out, size_t segments, const uint8_t* ivs);

// encrypt_in_lanes gives |lanes| the whole segments in groups of |group|
// and the rest, a short last segment included, to the one-segment kernel.
void encrypt_in_lanes(LaneKernel lanes, size_t group, const uint8_t* keys,
                      const uint8_t* round_keys, const uint8_t* in,
                      uint8_t* out, size_t len, const uint8_t* ivs) {
  const size_t grouped = len / kCbcSegmentLen / group * group;
  if (grouped > 0) lanes(keys, in, out, grouped, ivs);
  for (size_t k = grouped, off = grouped * kCbcSegmentLen; off < len;
       ++k, off += kCbcSegmentLen) {
    kernels::aes256_cbc_one_aesni(round_keys, in + off, out + off,
                                  std::min(kCbcSegmentLen, len - off),
                                  ivs + k * kCbcBlockLen);
  }
}
#endif

}  // namespace

std::string_view aes_kernel_name(AesKernel kernel) {
  switch (kernel) {
    case AesKernel::kOpenssl:
      return "openssl";
    case AesKernel::kAesni:
      return "aesni";
    case AesKernel::kVaes:
      return "vaes";
  }
  return "?";
}

bool aes_kernel_runs_here(AesKernel kernel) { return !why_not(kernel); }

TextResult<AesKernel> aes_kernel_to_use() {
  if (const auto forced = forced_kernel(kAesKernelVariable)) {
    const std::string setting =
        std::string(kAesKernelVariable) + "=" + std::string(*forced) + ": ";
    const std::optional<AesKernel> kernel = kernel_named(*forced);
    if (!kernel) {
      return Err{setting + "no such AES kernel (known: " + known_names() + ")"};
    }
    if (const auto reason = why_not(*kernel)) {
      return Err{setting + refusal(*kernel, *reason)};
    }
    return *kernel;
  }
  AesKernel best = AesKernel::kOpenssl;
  for (AesKernel k : kAesKernels) {
    if (aes_kernel_runs_here(k)) best = k;
  }
  return best;
}

TextResult<Aes256CbcSegments> Aes256CbcSegments::create(AesKernel kernel,
                                                        ByteView key) {
  if (key.size() != kCbcKeyLen) return Err{ErrorText(kKeySizeError)};
  if (const auto reason = why_not(kernel)) return Err{refusal(kernel, *reason)};
  std::unique_ptr<Schedule, ScheduleWipe> s(new Schedule());
  if (kernel == AesKernel::kOpenssl) {
    s->ctx = new_cipher_ctx();
    check_openssl(EVP_EncryptInit_ex(s->ctx.get(), EVP_aes_256_cbc(), nullptr,
                                     key.data(), nullptr),
                  "EVP_EncryptInit_ex");
    check_openssl(EVP_CIPHER_CTX_set_padding(s->ctx.get(), 0),
                  "EVP_CIPHER_CTX_set_padding");
  }
#if defined(CELLVAULT_X86_KERNELS)
  if (kernel != AesKernel::kOpenssl) {
    kernels::aes256_expand_key_aesni(key.data(), s->round_keys);
  }
  if (kernel == AesKernel::kVaes) {
    for (size_t r = 0; r < kernels::kAes256RoundKeys; ++r) {
      for (size_t j = 0; j < 4; ++j) {
        std::memcpy(s->wide_keys + r * 64 + j * 16, s->round_keys + r * 16, 16);
      }
    }
  }
#endif
  return Aes256CbcSegments(kernel, std::move(s));
}

Aes256CbcSegments::Aes256CbcSegments(AesKernel kernel,
                                     std::unique_ptr<Schedule, ScheduleWipe> s)
    : kernel_(kernel), schedule_(std::move(s)) {}
Aes256CbcSegments::Aes256CbcSegments(Aes256CbcSegments&&) noexcept = default;
Aes256CbcSegments& Aes256CbcSegments::operator=(Aes256CbcSegments&&) noexcept =
    default;
Aes256CbcSegments::~Aes256CbcSegments() = default;

void Aes256CbcSegments::encrypt(ByteView in, std::span<uint8_t> out,
                                ByteView ivs) {
  const size_t len = in.size();
  if (out.size() != len) {
    abort_call("AES-256-CBC: an output of " + std::to_string(out.size()) +
               " bytes for an input of " + std::to_string(len));
  }
  if (len % kCbcBlockLen != 0) {
    abort_call("AES-256-CBC: a run of " + std::to_string(len) +
               " bytes is not a whole number of 16-byte blocks");
  }
  if (ivs.size() != segment_count(len) * kCbcBlockLen) {
    abort_call("AES-256-CBC: " + std::to_string(ivs.size()) +
               " bytes of IVs for " + std::to_string(segment_count(len)) +
               " segments");
  }
  if (len == 0) return;
  if (in.data() != out.data() && overlap(in.data(), out.data(), len)) {
    abort_call("AES-256-CBC: input and output overlap without being the same");
  }
  if (!schedule_) abort_call("AES-256-CBC: the key schedule was moved away");
  Schedule& s = *schedule_;
  switch (kernel_) {
    case AesKernel::kOpenssl:
      encrypt_openssl(s.ctx.get(), in.data(), out.data(), len, ivs.data());
      return;
#if defined(CELLVAULT_X86_KERNELS)
    case AesKernel::kAesni:
      encrypt_in_lanes(kernels::aes256_cbc_lanes_aesni,
                       kernels::kAesniLaneGroup, s.round_keys, s.round_keys,
                       in.data(), out.data(), len, ivs.data());
      return;
    case AesKernel::kVaes:
      encrypt_in_lanes(kernels::aes256_cbc_lanes_vaes, kernels::kVaesLaneGroup,
                       s.wide_keys, s.round_keys, in.data(), out.data(), len,
                       ivs.data());
      return;
#else
    default:
      break;
#endif
  }
  abort_call("AES-256-CBC: no such kernel in this build");
}

}  // namespace cellvault::lanes
