// The AVX-512 SHA-512 kernels: 8 lanes, one 64-bit word of each per zmm
// register, and 16 lanes as two such groups whose instructions are
// interleaved, so that one group's work fills the other's waits. AVX-512
// rotates 64-bit words in one instruction (vprorq) and computes any
// function of three inputs in one (vpternlogq), which makes a round about
// half as long as on AVX2.

// GCC 12 takes the deliberately undefined pass-through operand inside the
// AVX-512 shift and rotate intrinsics for an uninitialized variable; the
// warning is about the compiler's own header, not this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "helper/crypt/lanes/sha512_kernels.h"
#include "helper/crypt/lanes/sha512_rounds.h"

namespace cellvault::lanes {
namespace {

// vpternlogq's immediate is the truth table of the function, indexed by
// (a << 2) | (b << 1) | c.
constexpr int kXor3 = 0x96;    // a ^ b ^ c
constexpr int kChoose = 0xca;  // a ? b : c
constexpr int kMajority = 0xe8;

struct Avx512Ops {
  using V = __m512i;
  static constexpr size_t kLanes = kAvx512Lanes;

  [[gnu::always_inline]] static V load(const uint64_t* p) { return _mm512_loadu_si512(p); }
  [[gnu::always_inline]] static void store(uint64_t* p, V v) { _mm512_storeu_si512(p, v); }
  [[gnu::always_inline]] static V set1(uint64_t x) {
    return _mm512_set1_epi64(static_cast<long long>(x));
  }
  [[gnu::always_inline]] static V add(V a, V b) { return _mm512_add_epi64(a, b); }
  [[gnu::always_inline]] static V or_(V a, V b) { return _mm512_or_si512(a, b); }
  [[gnu::always_inline]] static V shl32(V x) { return _mm512_slli_epi64(x, 32); }
  [[gnu::always_inline]] static V shr32(V x) { return _mm512_srli_epi64(x, 32); }

  [[gnu::always_inline]] static V big_sigma0(V x) {
    return _mm512_ternarylogic_epi64(_mm512_ror_epi64(x, 28), _mm512_ror_epi64(x, 34),
                                     _mm512_ror_epi64(x, 39), kXor3);
  }
  [[gnu::always_inline]] static V big_sigma1(V x) {
    return _mm512_ternarylogic_epi64(_mm512_ror_epi64(x, 14), _mm512_ror_epi64(x, 18),
                                     _mm512_ror_epi64(x, 41), kXor3);
  }
  [[gnu::always_inline]] static V small_sigma0(V x) {
    return _mm512_ternarylogic_epi64(_mm512_ror_epi64(x, 1), _mm512_ror_epi64(x, 8),
                                     _mm512_srli_epi64(x, 7), kXor3);
  }
  [[gnu::always_inline]] static V small_sigma1(V x) {
    return _mm512_ternarylogic_epi64(_mm512_ror_epi64(x, 19), _mm512_ror_epi64(x, 61),
                                     _mm512_srli_epi64(x, 6), kXor3);
  }
  [[gnu::always_inline]] static V ch(V e, V f, V g) {
    return _mm512_ternarylogic_epi64(e, f, g, kChoose);
  }
  [[gnu::always_inline]] static V maj(V a, V b, V c) {
    return _mm512_ternarylogic_epi64(a, b, c, kMajority);
  }
};

// Two groups of 8 lanes side by side: lanes 0-7 in lo, 8-15 in hi. Every
// operation is applied to both, which interleaves their instructions.
struct Avx512PairOps {
  struct V {
    __m512i lo, hi;
  };
  using One = Avx512Ops;
  static constexpr size_t kLanes = kAvx512x16Lanes;
  static_assert(kLanes == 2 * One::kLanes);

  [[gnu::always_inline]] static V load(const uint64_t* p) {
    return {One::load(p), One::load(p + One::kLanes)};
  }
  [[gnu::always_inline]] static void store(uint64_t* p, V v) {
    One::store(p, v.lo);
    One::store(p + One::kLanes, v.hi);
  }
  [[gnu::always_inline]] static V set1(uint64_t x) {
    const __m512i v = One::set1(x);
    return {v, v};
  }
  [[gnu::always_inline]] static V add(V a, V b) {
    return {One::add(a.lo, b.lo), One::add(a.hi, b.hi)};
  }
  [[gnu::always_inline]] static V or_(V a, V b) {
    return {One::or_(a.lo, b.lo), One::or_(a.hi, b.hi)};
  }
  [[gnu::always_inline]] static V shl32(V x) { return {One::shl32(x.lo), One::shl32(x.hi)}; }
  [[gnu::always_inline]] static V shr32(V x) { return {One::shr32(x.lo), One::shr32(x.hi)}; }
  [[gnu::always_inline]] static V big_sigma0(V x) {
    return {One::big_sigma0(x.lo), One::big_sigma0(x.hi)};
  }
  [[gnu::always_inline]] static V big_sigma1(V x) {
    return {One::big_sigma1(x.lo), One::big_sigma1(x.hi)};
  }
  [[gnu::always_inline]] static V small_sigma0(V x) {
    return {One::small_sigma0(x.lo), One::small_sigma0(x.hi)};
  }
  [[gnu::always_inline]] static V small_sigma1(V x) {
    return {One::small_sigma1(x.lo), One::small_sigma1(x.hi)};
  }
  [[gnu::always_inline]] static V ch(V e, V f, V g) {
    return {One::ch(e.lo, f.lo, g.lo), One::ch(e.hi, f.hi, g.hi)};
  }
  [[gnu::always_inline]] static V maj(V a, V b, V c) {
    return {One::maj(a.lo, b.lo, c.lo), One::maj(a.hi, b.hi, c.hi)};
  }
};

}  // namespace

// Each kernel ends by clearing the vector registers 0-15 (vzeroall) so that
// no chain state stays there; registers 16-31 are overwritten by whatever
// vector code runs next (no instruction clears them all at once).

void sha512_spin_avx512x8(uint64_t* state, uint64_t count) {
  Sha512Rounds<Avx512Ops>::spin(state, count);
  _mm256_zeroall();
}

void sha512_block_avx512x8(const uint64_t* words, uint64_t* state) {
  Sha512Rounds<Avx512Ops>::block(words, state);
  _mm256_zeroall();
}

void sha512_spin_avx512x16(uint64_t* state, uint64_t count) {
  Sha512Rounds<Avx512PairOps>::spin(state, count);
  _mm256_zeroall();
}

void sha512_block_avx512x16(const uint64_t* words, uint64_t* state) {
  Sha512Rounds<Avx512PairOps>::block(words, state);
  _mm256_zeroall();
}

}  // namespace cellvault::lanes
