// The instruction-set kernels of the multi-lane SHA-512, as the dispatch in
// sha512_lanes.cpp calls them.
//
// The kernels see only 64-bit words, laid out word-major: word w of lane l
// is at index w * kLanes + l, so that one vector load takes word w of every
// lane. The byte order of the hash (big-endian words), the padding and the
// wiping of the buffers are done by the caller in portable code; the
// kernel files include nothing but this header and the intrinsics, since a
// file built for one instruction set must not define inline functions that
// other files share (see CMakeLists.txt).

#ifndef CELLVAULT_HELPER_CRYPT_LANES_SHA512_KERNELS_H_
#define CELLVAULT_HELPER_CRYPT_LANES_SHA512_KERNELS_H_

#include <cstddef>
#include <cstdint>

namespace cellvault::lanes {

// FIPS 180-4 4.2.3 and 5.3.5: the 80 round constants and the initial hash
// value. Defined once, in sha512_lanes.cpp.
extern const uint64_t kSha512RoundConstants[80];
extern const uint64_t kSha512InitialHash[8];

// The spin chain's message is LE32(i) || H (68 bytes) in one padded block:
// 0x80 after the message, then its bit length in the last word.
inline constexpr uint64_t kSpinMessageBits = 68 * 8;
inline constexpr uint64_t kSpinPaddingWord = 0x80000000;

// Each kernel comes in two operations over one group of lanes:
//  - spin: |state| holds 8 words per lane (a digest H); it is replaced by
//    the result of |count| iterations of H = SHA-512(LE32(i) || H).
//  - block: |words| holds the 16 message words of one padded block per
//    lane; |state| receives the 8 words of each block's digest.
// Lanes that the caller does not use hold any value and cost the same.
inline constexpr size_t kAvx2Lanes = 4;
inline constexpr size_t kAvx512Lanes = 8;
// Two groups of 8 lanes interleaved, so that one group's instructions fill
// the other's waits: 16 lanes, words laid out with kLanes = 16.
inline constexpr size_t kAvx512x16Lanes = 16;

#if defined(CELLVAULT_X86_KERNELS)
void sha512_spin_avx2(uint64_t* state, uint64_t count);
void sha512_block_avx2(const uint64_t* words, uint64_t* state);

void sha512_spin_avx512x8(uint64_t* state, uint64_t count);
void sha512_block_avx512x8(const uint64_t* words, uint64_t* state);

void sha512_spin_avx512x16(uint64_t* state, uint64_t count);
void sha512_block_avx512x16(const uint64_t* words, uint64_t* state);
#endif

}  // namespace cellvault::lanes

#endif  // CELLVAULT_HELPER_CRYPT_LANES_SHA512_KERNELS_H_
