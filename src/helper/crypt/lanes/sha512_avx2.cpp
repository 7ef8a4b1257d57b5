// The 4-lane SHA-512 kernel on AVX2: one 64-bit word of each of 4 lanes per
// ymm register. AVX2 has no 64-bit rotate, so a rotation is two shifts and
// an or, except the rotation by 8 bits of the small sigma0, which moves
// whole bytes and is one byte shuffle.

#include <immintrin.h>

#include "helper/crypt/lanes/sha512_kernels.h"
#include "helper/crypt/lanes/sha512_rounds.h"

namespace cellvault::lanes {
namespace {

struct Avx2Ops {
  using V = __m256i;
  static constexpr size_t kLanes = kAvx2Lanes;

  [[gnu::always_inline]] static V load(const uint64_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  [[gnu::always_inline]] static void store(uint64_t* p, V v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
  [[gnu::always_inline]] static V set1(uint64_t x) {
    return _mm256_set1_epi64x(static_cast<long long>(x));
  }
  [[gnu::always_inline]] static V add(V a, V b) { return _mm256_add_epi64(a, b); }
  [[gnu::always_inline]] static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  [[gnu::always_inline]] static V shl32(V x) { return _mm256_slli_epi64(x, 32); }
  [[gnu::always_inline]] static V shr32(V x) { return _mm256_srli_epi64(x, 32); }

  template <int n>
  [[gnu::always_inline]] static V ror(V x) {
    return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
  }
  // Rotating a little-endian word right by 8 bits takes each byte from the
  // next one up.
  [[gnu::always_inline]] static V ror8(V x) {
    const V next_byte = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12,
                                         13, 14, 15, 8, 1, 2, 3, 4, 5, 6, 7, 0,
                                         9, 10, 11, 12, 13, 14, 15, 8);
    return _mm256_shuffle_epi8(x, next_byte);
  }
  [[gnu::always_inline]] static V xor3(V a, V b, V c) {
    return _mm256_xor_si256(_mm256_xor_si256(a, b), c);
  }

  [[gnu::always_inline]] static V big_sigma0(V x) {
    return xor3(ror<28>(x), ror<34>(x), ror<39>(x));
  }
  [[gnu::always_inline]] static V big_sigma1(V x) {
    return xor3(ror<14>(x), ror<18>(x), ror<41>(x));
  }
  [[gnu::always_inline]] static V small_sigma0(V x) {
    return xor3(ror<1>(x), ror8(x), _mm256_srli_epi64(x, 7));
  }
  [[gnu::always_inline]] static V small_sigma1(V x) {
    return xor3(ror<19>(x), ror<61>(x), _mm256_srli_epi64(x, 6));
  }
  // ch = (e & f) ^ (~e & g), written as ((f ^ g) & e) ^ g.
  [[gnu::always_inline]] static V ch(V e, V f, V g) {
    return _mm256_xor_si256(_mm256_and_si256(_mm256_xor_si256(f, g), e), g);
  }
  // maj = (a & b) | (c & (a | b)).
  [[gnu::always_inline]] static V maj(V a, V b, V c) {
    return _mm256_or_si256(_mm256_and_si256(a, b),
                           _mm256_and_si256(c, _mm256_or_si256(a, b)));
  }
};

using Rounds = Sha512Rounds<Avx2Ops>;

}  // namespace

void sha512_spin_avx2(uint64_t* state, uint64_t count) {
  Rounds::spin(state, count);
  // Leave no chain state in the vector registers.
  _mm256_zeroall();
}

void sha512_block_avx2(const uint64_t* words, uint64_t* state) {
  Rounds::block(words, state);
  _mm256_zeroall();
}

}  // namespace cellvault::lanes
