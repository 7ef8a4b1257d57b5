// The instruction-set kernels behind Aes256CbcSegments (aes_cbc.h).
//
// Only plain declarations live here: the *_aesni.cpp and *_vaes.cpp files
// that define them are compiled with their own instruction-set flags, so
// nothing inline may be shared with them (see lanes/cpu.h).
//
// Every kernel takes a run of |len| bytes (a multiple of 16) cut into
// segments of kCbcSegmentLen bytes, the last one possibly shorter, and
// encrypts segment k with AES-256-CBC under the IV at |ivs| + 16 k. |out|
// is |in| itself or does not overlap it. |round_keys| is the key schedule
// written by aes256_expand_key_aesni, aligned to 16 bytes. Each checks
// nothing: Aes256CbcSegments::encrypt checks the arguments first.

#ifndef CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_KERNELS_H_
#define CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_KERNELS_H_

#include <cstddef>
#include <cstdint>

namespace cellvault::lanes::kernels {

inline constexpr size_t kCbcSegmentLen = 4096;
// AES-256: 14 rounds, so 15 round keys of 16 bytes.
inline constexpr size_t kAes256RoundKeys = 15;
inline constexpr size_t kAes256ScheduleLen = kAes256RoundKeys * 16;

#if defined(CELLVAULT_X86_KERNELS)
// aes256_expand_key_aesni writes the encryption round keys of the 32-byte
// |key| to |round_keys| (kAes256ScheduleLen bytes).
void aes256_expand_key_aesni(const uint8_t* key, uint8_t* round_keys);

// Eight segments at a time in interleaved AES-NI chains; the rest one by
// one.
void aes256_cbc_segments_aesni(const uint8_t* round_keys, const uint8_t* in,
                               uint8_t* out, size_t len, const uint8_t* ivs);

// Sixteen segments at a time, four to each of four 512-bit registers;
// the last few (fewer than four, and a short last one) one by one. |wide_keys| holds each round key four times in a row (64 bytes per
// key, aligned to 64).
void aes256_cbc_segments_vaes(const uint8_t* round_keys,
                              const uint8_t* wide_keys, const uint8_t* in,
                              uint8_t* out, size_t len, const uint8_t* ivs);
#endif

}  // namespace cellvault::lanes::kernels

#endif  // CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_KERNELS_H_
