// AES-256-CBC across segments with VAES on 512-bit registers.
//
// One VAESENC on a zmm register runs a round on four blocks, so four
// segments share a register, one per 128-bit lane, and several registers
// run side by side to hide the round latency, as in the AES-NI kernel.
//
// Segments lie 4096 bytes apart, so their blocks at the same offset fall
// into the same set of the level-1 cache: read block by block, sixteen
// segments' lines fight over that set's ways and throughput collapses.
// Two things avoid it. Each segment's next 64-byte line is read whole,
// once, and the lines of four segments are transposed in registers so that
// each register holds the same block of four segments (the ciphertext goes
// back the same way, one whole-line store per segment). And the four
// registers are staggered by a few lines, so that only four segments share
// a set at any time.
//
// Compiled with the VAES and AVX-512 flags alone; everything but the entry
// point has internal linkage (see lanes/cpu.h). Round keys are read from
// the caller's wide schedule (each key four times, 64 bytes), and the
// vector registers are cleared before returning.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "helper/crypt/lanes/aes_cbc_kernels.h"

namespace cellvault::lanes::kernels {
namespace {

constexpr size_t kBlock = 16;
constexpr size_t kLine = 64;
constexpr int kBlocksPerLine = kLine / kBlock;
constexpr int kLanesPerRegister = kVaesLaneGroup;
// Four registers of four segments: VAESENC on zmm issues once per cycle
// with a latency of a few cycles, so four independent chains keep it busy;
// fewer leave it idle, more run out of registers.
constexpr int kRegisters = 4;
// Each register runs this many lines behind the one before (see
// cbc_staggered). Measured here on 50 MiB in cached batches (best of 15):
// eight segments 5.5 ms; sixteen in step 4.9-5.5 ms; sixteen 4 lines
// apart 3.4-3.7 ms.
constexpr size_t kLag = 4;

// clear_vector_registers leaves no key material or cipher state in the 32
// vector registers: VZEROALL clears zmm0-15, the rest one by one.
void clear_vector_registers() {
  __asm__ volatile(
      "vzeroall\n\t"
      "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
      "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
      "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
      "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
      "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
      "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
      "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
      "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31" ::
          : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",
            "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14",
            "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21",
            "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28",
            "xmm29", "xmm30", "xmm31");
}

// shuffle is VSHUFI64X2: 128-bit lanes 0 and 1 from |a|, 2 and 3 from |b|,
// chosen by |Imm|. The masked form with every lane selected is the same
// instruction; the unmasked intrinsic of GCC 12 trips its own
// uninitialised-value warning.
template <int Imm>
__m512i shuffle(__m512i a, __m512i b) {
  return _mm512_mask_shuffle_i64x2(a, static_cast<__mmask8>(0xff), a, b, Imm);
}

// transpose treats a, b, c, d as the rows of a 4x4 matrix of 16-byte
// blocks, each the line of one segment, and turns it so that each holds one
// block of the four segments: a the first, b the second and so on. Doing it
// twice restores the lines.
void transpose(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  const __m512i t0 = shuffle<0x44>(a, b);  // a0 a1 b0 b1
  const __m512i t1 = shuffle<0xee>(a, b);  // a2 a3 b2 b3
  const __m512i t2 = shuffle<0x44>(c, d);  // c0 c1 d0 d1
  const __m512i t3 = shuffle<0xee>(c, d);  // c2 c3 d2 d3
  a = shuffle<0x88>(t0, t2);               // a0 b0 c0 d0
  b = shuffle<0xdd>(t0, t2);               // a1 b1 c1 d1
  c = shuffle<0x88>(t1, t3);               // a2 b2 c2 d2
  d = shuffle<0xdd>(t1, t3);               // a3 b3 c3 d3
}

// cbc_staggered encrypts |quads| runs of four whole segments ("quads")
// that follow each other from |in|. Register g takes quads g, g + G,
// g + 2 G, ... one after the other, one 64-byte line of each of its four
// segments per step, lane j holding segment j of the quad; the IVs of a
// quad are already one register's worth.
//
// Register g runs kLag steps behind register g - 1, so that at any moment
// the registers read lines at different offsets within their segments,
// and so in different cache sets; only the four segments of one register
// share a set. A register outside its stretch of steps computes on
// leftovers and writes nothing. Each line is read before its
// ciphertext is written, so |out| may be |in|.
template <int G>
void cbc_staggered(const __m512i* wk, const uint8_t* in, uint8_t* out,
                   const uint8_t* ivs, size_t quads) {
  constexpr size_t kLinesPerSegment = kCbcSegmentLen / kLine;
  constexpr size_t kQuadLen = kLanesPerRegister * kCbcSegmentLen;
  size_t lines[G];
  size_t steps = 0;
  for (int g = 0; g < G; ++g) {
    const size_t mine = quads > size_t(g) ? (quads - g + G - 1) / G : 0;
    lines[g] = mine * kLinesPerSegment;
    if (mine > 0 && g * kLag + lines[g] > steps) steps = g * kLag + lines[g];
  }
  __m512i c[G];
  __m512i d[G][kLanesPerRegister];
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) c[g] = _mm512_setzero_si512();
  for (size_t step = 0; step < steps; ++step) {
    bool active[G];
    size_t at[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      // An idle register reads line 1 of the first quad, which every run
      // has, and writes nothing: reading unconditionally keeps the lines
      // in registers, where a skipped read would send them to the stack.
      const size_t v = step - g * kLag;
      active[g] = step >= g * kLag && v < lines[g];
      const size_t quad = active[g] ? g + G * (v / kLinesPerSegment) : 0;
      const size_t line = active[g] ? v % kLinesPerSegment : 1;
      at[g] = quad * kQuadLen + line * kLine;
      if (line == 0) c[g] = _mm512_loadu_si512(ivs + quad * kLine);
#pragma GCC unroll 4
      for (int j = 0; j < kLanesPerRegister; ++j) {
        d[g][j] = _mm512_loadu_si512(in + at[g] + j * kCbcSegmentLen);
      }
      transpose(d[g][0], d[g][1], d[g][2], d[g][3]);
    }
#pragma GCC unroll 4
    for (int b = 0; b < kBlocksPerLine; ++b) {
#pragma GCC unroll 4
      for (int g = 0; g < G; ++g) {
        // c ^ p ^ round key 0 in one instruction.
        c[g] = _mm512_ternarylogic_epi64(c[g], d[g][b], wk[0], 0x96);
      }
#pragma GCC unroll 13
      for (size_t r = 1; r < kAes256RoundKeys - 1; ++r) {
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) c[g] = _mm512_aesenc_epi128(c[g], wk[r]);
      }
#pragma GCC unroll 4
      for (int g = 0; g < G; ++g) {
        c[g] = _mm512_aesenclast_epi128(c[g], wk[kAes256RoundKeys - 1]);
        d[g][b] = c[g];
      }
    }
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      if (!active[g]) continue;
      transpose(d[g][0], d[g][1], d[g][2], d[g][3]);
#pragma GCC unroll 4
      for (int j = 0; j < kLanesPerRegister; ++j) {
        _mm512_storeu_si512(out + at[g] + j * kCbcSegmentLen, d[g][j]);
      }
    }
  }
}

}  // namespace

void aes256_cbc_lanes_vaes(const uint8_t* wide_keys, const uint8_t* in,
                           uint8_t* out, size_t segments, const uint8_t* ivs) {
  cbc_staggered<kRegisters>(reinterpret_cast<const __m512i*>(wide_keys), in,
                            out, ivs, segments / kLanesPerRegister);
  clear_vector_registers();
}

}  // namespace cellvault::lanes::kernels
