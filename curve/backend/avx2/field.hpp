#pragma once
// GF(p), p = 2^255 - 19, four independent elements per register set: limb i
// of lane j is the 64-bit lane j of l[i], value = sum l[i] 2^W(i) with
// W(i) = ceil(25.5 i) = 0, 26, 51, 77, 102, 128, 153, 179, 204, 230. Even limbs
// carry 26 bits, odd limbs 25: vpmuludq multiplies the low 32 bits of each
// 64-bit lane, and limbs this small leave room for the factors 2 and 19 on an
// operand (19 x 2^26.1 < 2^32) and for a column of products (below).
//
// Bounds ("limbs < b" means every limb of every lane):
//   - every F25x4 value, as produced by every function here: every limb
//     below its radix + 2^19 (carried products and wide sums: limb 0
//     < 2^26 + 2^17.8, limb 1 < 2^25 + 2^16.8, others < radix + 2^13.5;
//     sums and differences of two F25x4: < radix + 19 2^7);
//     the value is then below 2^255 + 2^250 < 2p.
//   - inputs of every function: F25x4 values, nothing looser.
// A product term a_i b_j lands at weight 2^(W(i) + W(j)), which is
// 2^W(i + j) except when i and j are both odd (then twice that); weights
// 2^W(k) with k >= 10 are 2^255 2^W(k - 10) = 19 2^W(k - 10) (mod p).
// So column k = sum over i + j = k (mod 10) of a_i b_j, times 2 for odd i, j
// and times 19 for i + j >= 10: with the bounds above each term is below
// 38 (2^26 + 2^19)^2 and column 0, the largest (1 + 19 (4 + 2 5) = 267 terms
// of 2^52.02), is below 2^60.1, in a 64-bit lane.

#if !defined(__AVX2__)
#error "the AVX2 lane field is built only with -mavx2"
#endif

#include <immintrin.h>

#include <cstdint>

#include "curve/backend/vector/constants.hpp"
#include "curve/backend/vector/lane_field.hpp"

namespace vorlinde::curve::backend::avx2 {

inline __m256i splat(std::uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }

// A lane-wise constant-time boolean: each 64-bit lane all ones or all zeros.
struct Mask {
  __m256i v;

  friend Mask operator&(Mask a, Mask b) { return {_mm256_and_si256(a.v, b.v)}; }
  friend Mask operator|(Mask a, Mask b) { return {_mm256_or_si256(a.v, b.v)}; }
  friend Mask operator^(Mask a, Mask b) { return {_mm256_xor_si256(a.v, b.v)}; }
  Mask operator!() const { return {_mm256_xor_si256(v, _mm256_set1_epi64x(-1))}; }
};

struct F25x4Registers {
  using Register = __m256i;
  static constexpr int kLimbs = 10;
  __m256i l[kLimbs];
};

class F25x4 : public vector::LaneField<F25x4, F25x4Registers> {
 public:
  using Mask = avx2::Mask;
  // A product before its carry: ten columns, each < 2^60.1 (< 2^61.1 for
  // 2 a b and 2 a^2).
  using Wide = vector::Wide<F25x4, 10>;
  // The doublings use carried squares: wide ones lengthen the chain from one
  // doubling to the next and measured slower here.
  static constexpr bool kDoublingFromWide = false;
  // A point is 40 registers of 16: inlined whole, the window loop spills more
  // than the calls cost (1.4 times slower measured).
  static constexpr bool kInlineWindows = false;
  static constexpr std::uint64_t kLow26 = (std::uint64_t{1} << 26) - 1;
  static constexpr std::uint64_t kLow25 = (std::uint64_t{1} << 25) - 1;
  static constexpr int bits(int i) { return i % 2 == 0 ? 26 : 25; }

  static __m256i splat(std::uint64_t v) { return avx2::splat(v); }
  static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }
  static __m256i bit_or(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
  static Mask equal(__m256i a, __m256i b) { return {_mm256_cmpeq_epi64(a, b)}; }
  static __m256i blend(__m256i a, __m256i b, Mask c) { return _mm256_blendv_epi8(a, b, c.v); }

  // The same element in every lane, from five radix-2^51 limbs < 2^51 (the
  // portable layout, in which the constants are written).
  static F25x4 broadcast(const std::uint64_t (&limbs)[5]) {
    F25x4 r;
    for (int i = 0; i < 5; ++i) {
      r.l[2 * i] = splat(limbs[i] & kLow26);
      r.l[2 * i + 1] = splat(limbs[i] >> 26);
    }
    return r;
  }
  // Limbs < 2^32 in, an F25x4 out (limb 0 < 2^26 + 19 2^7, others below
  // their radix + 2^7): one parallel carry pass, no dependent chain.
  [[gnu::always_inline]] static F25x4 weak_reduce(const __m256i (&v)[kLimbs]) {
    F25x4 r;
    carry_pass(v, r.l, true);
    return r;
  }

  // (a + 4 p) - b: 4 p has limbs 2^28 - 76, 2^27 - 4, 2^28 - 4, ..., above
  // any F25x4 limb, so nothing underflows, and the sum stays below 2^29.
  friend F25x4 operator-(const F25x4& a, const F25x4& b) {
    __m256i s[kLimbs];
    for (int i = 0; i < kLimbs; ++i) {
      const std::uint64_t p4 = i == 0 ? 4 * (kLow26 - 18) : 4 * (bits(i) == 26 ? kLow26 : kLow25);
      s[i] = _mm256_sub_epi64(_mm256_add_epi64(a.l[i], splat(p4)), b.l[i]);
    }
    return weak_reduce(s);
  }
  // (a + 2^37 p) - b for a, b < 2^61.2: 2^37 p has limbs >= 2^62 - 2^37 > b
  // (2^63 - 2^37 - 19 2^37 and 2^63 - 2^37 at even positions), and
  // a + 2^37 p < 2^63.4.
  static F25x4 difference(const __m256i (&a)[kLimbs], const __m256i (&b)[kLimbs]) {
    __m256i s[kLimbs];
    for (int i = 0; i < kLimbs; ++i) {
      const std::uint64_t p = i == 0 ? kLow26 - 18 : bits(i) == 26 ? kLow26 : kLow25;
      s[i] = _mm256_sub_epi64(_mm256_add_epi64(a[i], splat(p << 37)), b[i]);
    }
    return carry(s);
  }

  // Fully reduced limbs (each below its radix, value < p), lane by lane.
  F25x4 canonical() const {
    // q = 1 exactly when the value (< 2p) is >= p: the carry out of the
    // chain through value + 19.
    __m256i q = _mm256_srli_epi64(_mm256_add_epi64(l[0], splat(19)), 26);
    for (int i = 1; i < kLimbs; ++i) q = _mm256_srli_epi64(_mm256_add_epi64(l[i], q), bits(i));
    // value - q p = value + 19 q - q 2^255: add, carry, drop bit 255.
    __m256i v[kLimbs];
    v[0] = _mm256_add_epi64(l[0], _mm256_mul_epu32(q, splat(19)));
    for (int i = 1; i < kLimbs; ++i) {
      v[i] = _mm256_add_epi64(l[i], _mm256_srli_epi64(v[i - 1], bits(i - 1)));
      v[i - 1] = _mm256_and_si256(v[i - 1], splat(bits(i - 1) == 26 ? kLow26 : kLow25));
    }
    v[9] = _mm256_and_si256(v[9], splat(kLow25));
    F25x4 r;
    for (int i = 0; i < kLimbs; ++i) r.l[i] = v[i];
    return r;
  }

  // Odd canonical value.
  Mask is_negative() const {
    const __m256i one = splat(1);
    return {_mm256_cmpeq_epi64(_mm256_and_si256(canonical().l[0], one), one)};
  }

  // Columns < 2^63.5 in, an F25x4 out: two parallel carry passes, each a
  // few instructions deep, where a sequential chain would be some forty.
  // After the first, limbs are below their radix + 2^38.5 (limb 0: + 2^42.8,
  // 19 times a carry < 2^38.5); after the second, a carried product's bounds.
  [[gnu::always_inline]] static F25x4 carry(const __m256i (&columns)[kLimbs]) {
    __m256i z[kLimbs];
    carry_pass(columns, z, false);
    F25x4 r;
    carry_pass(z, r.l, true);
    return r;
  }
  // One parallel pass; the carry out of limb 9 enters limb 0 times 19, by
  // vpmuludq when it is known to fit in 32 bits.
  [[gnu::always_inline]] static void carry_pass(const __m256i (&v)[kLimbs], __m256i (&r)[kLimbs], bool small) {
    __m256i c[kLimbs];
    for (int i = 0; i < kLimbs; ++i) {
      c[i] = _mm256_srli_epi64(v[i], bits(i));
      r[i] = _mm256_and_si256(v[i], splat(bits(i) == 26 ? kLow26 : kLow25));
    }
    r[0] = _mm256_add_epi64(r[0], small ? _mm256_mul_epu32(c[9], splat(19)) : times19(c[9]));
    for (int i = 1; i < kLimbs; ++i) r[i] = _mm256_add_epi64(r[i], c[i - 1]);
  }

  // Factor a b for Factor 1 or 2, as Wide: 100 vpmuludq, the factors 2 (odd
  // i and j) and 19 (i + j >= 10) put on the operands beforehand (2 a_i <
  // 2^27.1, 19 b_j < 2^30.3, inside the 32 bits the multiplier reads). Row by
  // row: ten accumulators and the current a_i stay in registers, b_j and
  // 19 b_j are memory operands.
  template <int Factor>
  static Wide product(const F25x4& a, const F25x4& b) {
    alignas(32) __m256i b19[kLimbs];
    __m256i z[kLimbs];
    for (int j = 1; j < kLimbs; ++j) b19[j] = _mm256_mul_epu32(b.l[j], splat(19));
    const __m256i* bl = b.l;
    const __m256i* b19l = b19;
    const __m256i a0 = a.l[0];
#pragma GCC unroll 10
    for (int j = 0; j < kLimbs; ++j) z[j] = _mm256_mul_epu32(a0, bl[j]);
#pragma GCC unroll 10
    for (int i = 1; i < kLimbs; ++i) {
      // The compiler would keep all twenty b operands in registers and spill
      // the accumulators; hiding where they are makes it read them as memory
      // operands of the multiplies, row after row.
      launder(bl);
      launder(b19l);
      const __m256i x = a.l[i];
      const __m256i x2 = _mm256_add_epi64(x, x);
#pragma GCC unroll 10
      for (int j = 0; j < kLimbs; ++j) {
        const __m256i y = i + j >= kLimbs ? b19l[j] : bl[j];
        const int k = (i + j) % kLimbs;
        z[k] = _mm256_add_epi64(z[k], _mm256_mul_epu32((i & j & 1) ? x2 : x, y));
      }
    }
    Wide r;
    for (int k = 0; k < kLimbs; ++k) r.l[k] = Factor == 2 ? _mm256_add_epi64(z[k], z[k]) : z[k];
    return r;
  }

  // The same for a a, with the symmetric terms merged: 55 vpmuludq. Term
  // (i, j), i <= j, carries 2 when i != j, 2 when both are odd and 19 when
  // i + j >= 10; row by row as in product(), the twos on a_i (4 a_i <
  // 2^28.1), the 19 on a_j (j >= 5 when i + j >= 10).
  template <int Factor>
  Wide squared() const {
    alignas(32) __m256i a19[kLimbs];
    __m256i z[kLimbs];
    for (int j = 5; j < kLimbs; ++j) a19[j] = _mm256_mul_epu32(l[j], splat(19));
    for (int k = 0; k < kLimbs; ++k) z[k] = _mm256_setzero_si256();
    const __m256i* al = l;
    const __m256i* a19l = a19;
#pragma GCC unroll 10
    for (int i = 0; i < kLimbs; ++i) {
      launder(al);
      launder(a19l);
      const __m256i x = l[i];
      const __m256i x2 = _mm256_add_epi64(x, x);
      const __m256i x4 = _mm256_add_epi64(x2, x2);
#pragma GCC unroll 10
      for (int j = i; j < kLimbs; ++j) {
        const int twos = (i != j ? 1 : 0) + ((i & j & 1) ? 1 : 0);
        const __m256i y = i + j >= kLimbs ? a19l[j] : al[j];
        const int k = (i + j) % kLimbs;
        z[k] = _mm256_add_epi64(z[k], _mm256_mul_epu32(twos == 0 ? x : twos == 1 ? x2 : x4, y));
      }
    }
    Wide r;
    for (int k = 0; k < kLimbs; ++k) r.l[k] = Factor == 2 ? _mm256_add_epi64(z[k], z[k]) : z[k];
    return r;
  }

 private:
  // An opaque copy of a pointer: loads through it cannot be merged with
  // loads made before.
  static void launder(const __m256i*& p) { asm("" : "+r"(p)); }

  // 19 x for x < 2^59, as shifts and adds (x may exceed the 32 bits that
  // vpmuludq reads).
  static __m256i times19(__m256i x) {
    return _mm256_add_epi64(_mm256_add_epi64(x, _mm256_slli_epi64(x, 1)), _mm256_slli_epi64(x, 4));
  }
};

}  // namespace vorlinde::curve::backend::avx2
