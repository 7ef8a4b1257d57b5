// The SHA-512 compression (FIPS 180-4 6.4.2) written once over a vector
// type, for the kernel files to instantiate with their own instructions.
//
// Only the *_avx2.cpp and *_avx512.cpp kernels include this header. It
// lives in an unnamed namespace: each kernel file gets its own copy, built
// with its own instruction set, and the linker never picks one file's copy
// for another (which a shared inline function would allow).
//
// An Ops type supplies the vector type V (one 64-bit word per lane), the
// number of lanes kLanes, and: load/store of kLanes consecutive words,
// set1 (the same word in every lane), add, or_, shl32/shr32 (shifts by 32
// bits), the functions big_sigma0/1 (FIPS 180-4 4.1.3, "Sigma"),
// small_sigma0/1 ("sigma"), ch and maj.

#ifndef CELLVAULT_HELPER_CRYPT_LANES_SHA512_ROUNDS_H_
#define CELLVAULT_HELPER_CRYPT_LANES_SHA512_ROUNDS_H_

#include <cstdint>

#include "helper/crypt/lanes/sha512_kernels.h"

namespace cellvault::lanes {
namespace {

template <class Ops>
struct Sha512Rounds {
  using V = typename Ops::V;

  // round is one step of the compression. Instead of shifting the eight
  // working variables along, callers rotate the arguments, so that each
  // round writes only the two that change (d and h in its own naming).
  [[gnu::always_inline]] static void round(V a, V b, V c, V& d, V e, V f, V g,
                                           V& h, V w, uint64_t k) {
    const V t1 = Ops::add(Ops::add(h, Ops::big_sigma1(e)),
                          Ops::add(Ops::ch(e, f, g), Ops::add(w, Ops::set1(k))));
    d = Ops::add(d, t1);
    h = Ops::add(t1, Ops::add(Ops::big_sigma0(a), Ops::maj(a, b, c)));
  }

  // rounds16 runs 16 rounds over the message words |w| with the round
  // constants |k|.
  [[gnu::always_inline]] static void rounds16(V s[8], const V w[16],
                                              const uint64_t* k) {
    V a = s[0], b = s[1], c = s[2], d = s[3];
    V e = s[4], f = s[5], g = s[6], h = s[7];
#pragma GCC unroll 2
    for (int j = 0; j < 16; j += 8) {
      round(a, b, c, d, e, f, g, h, w[j + 0], k[j + 0]);
      round(h, a, b, c, d, e, f, g, w[j + 1], k[j + 1]);
      round(g, h, a, b, c, d, e, f, w[j + 2], k[j + 2]);
      round(f, g, h, a, b, c, d, e, w[j + 3], k[j + 3]);
      round(e, f, g, h, a, b, c, d, w[j + 4], k[j + 4]);
      round(d, e, f, g, h, a, b, c, w[j + 5], k[j + 5]);
      round(c, d, e, f, g, h, a, b, w[j + 6], k[j + 6]);
      round(b, c, d, e, f, g, h, a, w[j + 7], k[j + 7]);
    }
    s[0] = a, s[1] = b, s[2] = c, s[3] = d;
    s[4] = e, s[5] = f, s[6] = g, s[7] = h;
  }

  // schedule16 replaces the 16 message words of the last rounds by those
  // of the next 16: W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16],
  // kept in a ring of 16.
  [[gnu::always_inline]] static void schedule16(V w[16]) {
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) {
      w[j] = Ops::add(Ops::add(w[j], Ops::small_sigma1(w[(j + 14) & 15])),
                      Ops::add(w[(j + 9) & 15], Ops::small_sigma0(w[(j + 1) & 15])));
    }
  }

  // compress adds the compression of the block |w| (consumed) to |s|.
  [[gnu::always_inline]] static void compress(V s[8], V w[16]) {
    V t[8];
    for (int i = 0; i < 8; ++i) t[i] = s[i];
    rounds16(t, w, kSha512RoundConstants);
    for (int r = 16; r < 80; r += 16) {
      schedule16(w);
      rounds16(t, w, kSha512RoundConstants + r);
    }
    for (int i = 0; i < 8; ++i) s[i] = Ops::add(s[i], t[i]);
  }

  [[gnu::always_inline]] static void initial(V s[8]) {
    for (int i = 0; i < 8; ++i) s[i] = Ops::set1(kSha512InitialHash[i]);
  }

  // block: the digest of one padded block per lane.
  [[gnu::always_inline]] static void block(const uint64_t* words,
                                           uint64_t* state) {
    V w[16], s[8];
    for (int i = 0; i < 16; ++i) w[i] = Ops::load(words + i * Ops::kLanes);
    initial(s);
    compress(s, w);
    for (int i = 0; i < 8; ++i) Ops::store(state + i * Ops::kLanes, s[i]);
  }

  // spin: the iterated hash. The message LE32(i) || H is built from the
  // state words directly: its big-endian word 0 is the byte-swapped
  // iterator followed by the top half of H[0], word k (1..7) the bottom
  // half of H[k-1] followed by the top half of H[k], word 8 the bottom
  // half of H[7] and the 0x80 that ends the message; words 9-14 are zero
  // and word 15 is the length in bits.
  [[gnu::always_inline]] static void spin(uint64_t* state, uint64_t count) {
    V h[8];
    for (int i = 0; i < 8; ++i) h[i] = Ops::load(state + i * Ops::kLanes);
    const V zero = Ops::set1(0);
    for (uint64_t i = 0; i < count; ++i) {
      const uint32_t iterator = static_cast<uint32_t>(i);
      V w[16];
      w[0] = Ops::or_(Ops::set1(uint64_t{__builtin_bswap32(iterator)} << 32),
                      Ops::shr32(h[0]));
      for (int k = 1; k < 8; ++k) {
        w[k] = Ops::or_(Ops::shl32(h[k - 1]), Ops::shr32(h[k]));
      }
      w[8] = Ops::or_(Ops::shl32(h[7]), Ops::set1(kSpinPaddingWord));
      for (int k = 9; k < 15; ++k) w[k] = zero;
      w[15] = Ops::set1(kSpinMessageBits);
      initial(h);
      compress(h, w);
    }
    for (int i = 0; i < 8; ++i) Ops::store(state + i * Ops::kLanes, h[i]);
  }
};

}  // namespace
}  // namespace cellvault::lanes

#endif  // CELLVAULT_HELPER_CRYPT_LANES_SHA512_ROUNDS_H_
