// The instruction-set kernels behind Aes256CbcSegments (aes_cbc.h).
//
// Only plain declarations live here: the *_aesni.cpp and *_vaes.cpp files
// that define them are compiled with their own instruction-set flags, so
// nothing inline may be shared with them (see lanes/cpu.h).
//
// The lane kernels take |segments| whole segments of kCbcSegmentLen bytes
// that follow each other from |in|, a multiple of their lane group, and
// encrypt segment k with AES-256-CBC under the IV at |ivs| + 16 k; the
// single-segment kernel takes one segment of |len| bytes, a multiple of 16
// and at most kCbcSegmentLen. |out| is |in| itself or does not overlap it.
// None checks its arguments: Aes256CbcSegments::encrypt does, and hands
// the segments left over by the lane groups to the single-segment kernel.
// Each clears the vector registers before it returns.

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
// |key| to |round_keys| (kAes256ScheduleLen bytes, aligned to 16).
void aes256_expand_key_aesni(const uint8_t* key, uint8_t* round_keys);

// One segment, a chain on its own, with AES-NI. The VAES kernel's
// leftovers go here too: every processor with VAES has AES-NI.
void aes256_cbc_one_aesni(const uint8_t* round_keys, const uint8_t* in,
                          uint8_t* out, size_t len, const uint8_t* iv);

// Eight segments at a time in interleaved AES-NI chains.
inline constexpr size_t kAesniLaneGroup = 8;
void aes256_cbc_lanes_aesni(const uint8_t* round_keys, const uint8_t* in,
                            uint8_t* out, size_t segments, const uint8_t* ivs);

// Sixteen segments at a time, four to each of four 512-bit registers; any
// multiple of four. |wide_keys| holds each round key four times in a row
// (64 bytes per key, aligned to 64).
inline constexpr size_t kVaesLaneGroup = 4;
void aes256_cbc_lanes_vaes(const uint8_t* wide_keys, const uint8_t* in,
                           uint8_t* out, size_t segments, const uint8_t* ivs);
#endif

}  // namespace cellvault::lanes::kernels

#endif  // CELLVAULT_HELPER_CRYPT_LANES_AES_CBC_KERNELS_H_
