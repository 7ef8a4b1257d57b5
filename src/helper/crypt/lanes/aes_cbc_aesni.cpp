// AES-256-CBC across segments with AES-NI.
//
// CBC is serial within a segment: each block waits for the ciphertext of
// the one before, and one AES round takes several cycles of latency while
// the processor could start one or two per cycle. Eight segments encrypted
// side by side fill that gap: each round is issued for all eight chains
// before the next round.
//
// Compiled with -maes -msse4.1 alone; everything but the entry points has
// internal linkage (see lanes/cpu.h). No key material goes to the stack:
// the round keys are read from the caller's schedule as memory operands,
// and the vector registers are cleared before returning.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "helper/crypt/lanes/aes_cbc_kernels.h"

namespace cellvault::lanes::kernels {
namespace {

constexpr int kLanes = kAesniLaneGroup;
constexpr size_t kBlock = 16;

__m128i load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
void store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// clear_vector_registers leaves no key material or cipher state in the
// sixteen xmm registers that this file's code may use.
void clear_vector_registers() {
  __asm__ volatile(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\t"
      "pxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
      "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
      "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\t"
      "pxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
      "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\t"
      "pxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
          : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",
            "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14",
            "xmm15");
}

// One step of the AES-256 key expansion (FIPS 197, 5.2): the next round
// key from the one two places back, |prev|, and |assist|: the word that
// AESKEYGENASSIST made of the latest key, in all four positions.
__m128i expand_step(__m128i prev, __m128i assist) {
  __m128i t = _mm_slli_si128(prev, 4);
  prev = _mm_xor_si128(prev, t);
  t = _mm_slli_si128(t, 4);
  prev = _mm_xor_si128(prev, t);
  t = _mm_slli_si128(t, 4);
  prev = _mm_xor_si128(prev, t);
  return _mm_xor_si128(prev, assist);
}

// The even round keys take RotWord, SubWord and the round constant of the
// previous key's last word; the odd ones SubWord alone.
template <int Rcon>
__m128i even_key(__m128i two_back, __m128i last) {
  return expand_step(
      two_back, _mm_shuffle_epi32(_mm_aeskeygenassist_si128(last, Rcon), 0xff));
}
__m128i odd_key(__m128i two_back, __m128i last) {
  return expand_step(
      two_back, _mm_shuffle_epi32(_mm_aeskeygenassist_si128(last, 0), 0xaa));
}

// encrypt_rounds runs the 14 rounds on |x|, already whitened with round
// key 0.
__m128i encrypt_rounds(const __m128i* rk, __m128i x) {
  for (size_t r = 1; r < kAes256RoundKeys - 1; ++r) {
    x = _mm_aesenc_si128(x, rk[r]);
  }
  return _mm_aesenclast_si128(x, rk[kAes256RoundKeys - 1]);
}

// cbc_one encrypts one segment of |len| bytes, a chain on its own.
void cbc_one(const __m128i* rk, const uint8_t* in, uint8_t* out, size_t len,
             const uint8_t* iv) {
  __m128i c = load(iv);
  for (size_t off = 0; off < len; off += kBlock) {
    c = _mm_xor_si128(_mm_xor_si128(c, load(in + off)), rk[0]);
    c = encrypt_rounds(rk, c);
    store(out + off, c);
  }
}

// cbc_eight encrypts the eight whole segments that start at |in|, one
// chain per segment, each round issued for all eight before the next. All
// eight blocks of a step are read before any is written, so |out| may be
// |in|.
void cbc_eight(const __m128i* rk, const uint8_t* in, uint8_t* out,
               const uint8_t* ivs) {
  __m128i c[kLanes];
#pragma GCC unroll 8
  for (int l = 0; l < kLanes; ++l) c[l] = load(ivs + l * kBlock);
  for (size_t off = 0; off < kCbcSegmentLen; off += kBlock) {
#pragma GCC unroll 8
    for (int l = 0; l < kLanes; ++l) {
      const __m128i p = load(in + l * kCbcSegmentLen + off);
      c[l] = _mm_xor_si128(_mm_xor_si128(c[l], p), rk[0]);
    }
#pragma GCC unroll 13
    for (size_t r = 1; r < kAes256RoundKeys - 1; ++r) {
#pragma GCC unroll 8
      for (int l = 0; l < kLanes; ++l) c[l] = _mm_aesenc_si128(c[l], rk[r]);
    }
#pragma GCC unroll 8
    for (int l = 0; l < kLanes; ++l) {
      c[l] = _mm_aesenclast_si128(c[l], rk[kAes256RoundKeys - 1]);
      store(out + l * kCbcSegmentLen + off, c[l]);
    }
  }
}

}  // namespace

void aes256_expand_key_aesni(const uint8_t* key, uint8_t* round_keys) {
  __m128i* rk = reinterpret_cast<__m128i*>(round_keys);
  rk[0] = load(key);
  rk[1] = load(key + kBlock);
  rk[2] = even_key<0x01>(rk[0], rk[1]);
  rk[3] = odd_key(rk[1], rk[2]);
  rk[4] = even_key<0x02>(rk[2], rk[3]);
  rk[5] = odd_key(rk[3], rk[4]);
  rk[6] = even_key<0x04>(rk[4], rk[5]);
  rk[7] = odd_key(rk[5], rk[6]);
  rk[8] = even_key<0x08>(rk[6], rk[7]);
  rk[9] = odd_key(rk[7], rk[8]);
  rk[10] = even_key<0x10>(rk[8], rk[9]);
  rk[11] = odd_key(rk[9], rk[10]);
  rk[12] = even_key<0x20>(rk[10], rk[11]);
  rk[13] = odd_key(rk[11], rk[12]);
  rk[14] = even_key<0x40>(rk[12], rk[13]);
  clear_vector_registers();
}

void aes256_cbc_one_aesni(const uint8_t* round_keys, const uint8_t* in,
                          uint8_t* out, size_t len, const uint8_t* iv) {
  cbc_one(reinterpret_cast<const __m128i*>(round_keys), in, out, len, iv);
  clear_vector_registers();
}

void aes256_cbc_lanes_aesni(const uint8_t* round_keys, const uint8_t* in,
                            uint8_t* out, size_t segments, const uint8_t* ivs) {
  const __m128i* rk = reinterpret_cast<const __m128i*>(round_keys);
  for (size_t seg = 0; seg + kLanes <= segments; seg += kLanes) {
    cbc_eight(rk, in + seg * kCbcSegmentLen, out + seg * kCbcSegmentLen,
              ivs + seg * kBlock);
  }
  clear_vector_registers();
}

}  // namespace cellvault::lanes::kernels
