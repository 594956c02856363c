#pragma once
// GF(p), p = 2^255 - 19, eight independent elements per register set: limb i
// of lane j is the 64-bit lane j of l[i], value = sum l[i] 2^(51 i).
//
// Radix 2^51, not 2^52: vpmadd52{lo,hi}uq read only the low 52 bits of their
// inputs, and one parallel carry pass brings any limbs below 2^64 under 2^52,
// where radix 2^52 would need a sequential carry after every addition. It is
// also the portable backend's layout, so nothing is converted at the boundary.
//
// Bounds ("limbs < 2^k" means every limb of every lane):
//   - every F51x8 value, as produced by every function here: limbs < 2^52
//     (products: < 2^51 + 2^15; sums, differences: < 2^51 + 2^18)
//   - inputs of *, square, pow2k: limbs < 2^52 (the invariant)
// A product a_i b_j < 2^104 splits as lo + 2^52 hi: lo lands at weight
// 2^(51 (i + j)), hi at 2^(51 (i + j + 1)) with a factor 2. 2^255 = 19 folds
// columns 5..9 onto 0..4.

#if !defined(__AVX512IFMA__)
#error "the IFMA lane field is built only with the AVX-512 IFMA flags"
#endif

// g++ 12 reports the deliberately undefined pass-through operand inside its
// own shift intrinsics as uninitialized; the warning is about the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

#include "curve/backend/vector/constants.hpp"
#include "curve/backend/vector/lane_field.hpp"

// The fold of the upper product columns, 19 z, is one VPMULLQ where the
// translation unit is built with AVX-512DQ (the kernels for processors where
// that instruction is fast), else shifts and adds. The two builds are distinct
// types (their own inline namespace), so the linker never mixes them.
#if defined(__AVX512DQ__)
#define VORLINDE_IFMA_FOLD vpmullq
#else
#define VORLINDE_IFMA_FOLD shifts
#endif

namespace vorlinde::curve::backend::ifma {
inline namespace VORLINDE_IFMA_FOLD {

// One bit per lane, a lane-wise constant-time boolean.
struct Mask {
  __mmask8 bits;

  friend Mask operator&(Mask a, Mask b) { return {static_cast<__mmask8>(a.bits & b.bits)}; }
  friend Mask operator|(Mask a, Mask b) { return {static_cast<__mmask8>(a.bits | b.bits)}; }
  friend Mask operator^(Mask a, Mask b) { return {static_cast<__mmask8>(a.bits ^ b.bits)}; }
  Mask operator!() const { return {static_cast<__mmask8>(~bits)}; }
};

inline __m512i splat(std::uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }

struct F51x8Registers {
  using Register = __m512i;
  static constexpr int kLimbs = 5;
  __m512i l[kLimbs];
};

class F51x8 : public vector::LaneField<F51x8, F51x8Registers> {
 public:
  using Mask = ifma::Mask;
  // A product before its carry pass: five columns in radix 2^51, each < 2^62
  // (< 2^60.3 for a b and a^2, < 2^61.3 for 2 a b and 2 a^2).
  using Wide = vector::Wide<F51x8, 5>;
  static constexpr int bits(int) { return 51; }
  static constexpr std::uint64_t kLow51 = (std::uint64_t{1} << 51) - 1;
  // The doubling's squares feed its sums uncarried: one carry pass each
  // instead of two.
  static constexpr bool kDoublingFromWide = true;
  // A point is 20 of the 32 registers: the window loop is inlined whole.
  static constexpr bool kInlineWindows = true;

  static __m512i splat(std::uint64_t v) { return ifma::splat(v); }
  static __m512i add(__m512i a, __m512i b) { return _mm512_add_epi64(a, b); }
  static __m512i bit_or(__m512i a, __m512i b) { return _mm512_or_si512(a, b); }
  static Mask equal(__m512i a, __m512i b) { return {_mm512_cmpeq_epu64_mask(a, b)}; }
  static __m512i blend(__m512i a, __m512i b, Mask c) { return _mm512_mask_mov_epi64(a, c.bits, b); }

  // Broadcasts rather than LaneField's zeroed registers: with those, GCC
  // allocated the VPMULLQ fixed-base loop's registers otherwise, 1.3 % slower.
  static F51x8 zero() { return broadcast({0, 0, 0, 0, 0}); }
  static F51x8 one() { return broadcast({1, 0, 0, 0, 0}); }
  // The same element in every lane; limbs < 2^52.
  static F51x8 broadcast(const std::uint64_t (&limbs)[5]) {
    return {{splat(limbs[0]), splat(limbs[1]), splat(limbs[2]), splat(limbs[3]), splat(limbs[4])}};
  }
  // Limbs < 2^64 in, limbs < 2^51 + 19 2^13 out: one parallel carry pass.
  static F51x8 carry(const __m512i (&v)[5]) {
    const __m512i m = splat(kLow51);
    const __m512i c0 = _mm512_srli_epi64(v[0], 51), c1 = _mm512_srli_epi64(v[1], 51),
                  c2 = _mm512_srli_epi64(v[2], 51), c3 = _mm512_srli_epi64(v[3], 51),
                  c4 = _mm512_srli_epi64(v[4], 51);
    F51x8 r;
    // c4 < 2^13, so 19 c4 < 2^52 and the low half of the product is all of it.
    r.l[0] = _mm512_madd52lo_epu64(_mm512_and_si512(v[0], m), c4, splat(19));
    r.l[1] = _mm512_add_epi64(_mm512_and_si512(v[1], m), c0);
    r.l[2] = _mm512_add_epi64(_mm512_and_si512(v[2], m), c1);
    r.l[3] = _mm512_add_epi64(_mm512_and_si512(v[3], m), c2);
    r.l[4] = _mm512_add_epi64(_mm512_and_si512(v[4], m), c3);
    return r;
  }

  // Sums of two F51x8 take the same single pass.
  static F51x8 weak_reduce(const __m512i (&v)[5]) { return carry(v); }

  // (a + 8 p) - b: 8 p has limbs >= 2^54 - 152 > b's, so nothing underflows.
  friend F51x8 operator-(const F51x8& a, const F51x8& b) {
    const __m512i p8_0 = splat(8 * (kLow51 - 18)), p8_i = splat(8 * kLow51);
    __m512i s[5];
    s[0] = _mm512_sub_epi64(_mm512_add_epi64(a.l[0], p8_0), b.l[0]);
    for (int i = 1; i < 5; ++i) s[i] = _mm512_sub_epi64(_mm512_add_epi64(a.l[i], p8_i), b.l[i]);
    return carry(s);
  }
  // (a + 2^12 p) - b for a, b < 2^62: 2^12 p has limbs >= 2^63 - 19 2^12 > b,
  // and a + 2^12 p < 2^64.
  static F51x8 difference(const __m512i (&a)[5], const __m512i (&b)[5]) {
    const __m512i c0 = splat((kLow51 - 18) << 12), ci = splat(kLow51 << 12);
    __m512i s[5];
    s[0] = _mm512_sub_epi64(_mm512_add_epi64(a[0], c0), b[0]);
    for (int i = 1; i < 5; ++i) s[i] = _mm512_sub_epi64(_mm512_add_epi64(a[i], ci), b[i]);
    return carry(s);
  }

  // Fully reduced limbs (each < 2^51, value < p), lane by lane.
  F51x8 canonical() const {
    const F51x8 r = carry(l);
    const __m512i m = splat(kLow51);
    // q = 1 exactly when the value (< 2p) is >= p: the carry out of value + 19.
    __m512i q = _mm512_srli_epi64(_mm512_add_epi64(r.l[0], splat(19)), 51);
    for (int i = 1; i < 5; ++i) q = _mm512_srli_epi64(_mm512_add_epi64(r.l[i], q), 51);
    // value - q p = value + 19 q - q 2^255: add, carry, drop bit 255.
    __m512i v[5];
    v[0] = _mm512_madd52lo_epu64(r.l[0], q, splat(19));
    for (int i = 1; i < 5; ++i) {
      v[i] = _mm512_add_epi64(r.l[i], _mm512_srli_epi64(v[i - 1], 51));
      v[i - 1] = _mm512_and_si512(v[i - 1], m);
    }
    v[4] = _mm512_and_si512(v[4], m);
    return {{v[0], v[1], v[2], v[3], v[4]}};
  }

  // Odd canonical value.
  Mask is_negative() const { return {_mm512_test_epi64_mask(canonical().l[0], splat(1))}; }

  // Factor a b for Factor 1 or 2, as Wide.
  template <int Factor>
  static Wide product(const F51x8& a, const F51x8& b) {
    // Column k of the product is z_k = L_k + 2 H_k (L: low halves at k, H:
    // high halves from column k - 1), each sum < 5 2^52. To spend few
    // instructions besides the multiplier, H is summed first, doubled, and
    // the low halves are accumulated onto it by the multiplier itself.
    __m512i z[10];
    z[0] = _mm512_setzero_si512();
    for (int k = 1; k < 10; ++k) z[k] = _mm512_setzero_si512();
#pragma GCC unroll 5
    for (int i = 0; i < 5; ++i)
#pragma GCC unroll 5
      for (int j = 0; j < 5; ++j) z[i + j + 1] = _mm512_madd52hi_epu64(z[i + j + 1], a.l[i], b.l[j]);
    for (int k = 5; k < 10; ++k) z[k] = _mm512_add_epi64(z[k], z[k]);
    // The upper columns are complete before the lower ones: z_(k+5) < 15 2^52
    // then enters column k as 19 z_(k+5) (< 2^61 with the rest), and the lower
    // column's own terms accumulate onto that.
#pragma GCC unroll 5
    for (int i = 0; i < 5; ++i)
#pragma GCC unroll 5
      for (int j = 5 - i; j < 5; ++j) z[i + j] = _mm512_madd52lo_epu64(z[i + j], a.l[i], b.l[j]);
    __m512i r[5];
    for (int k = 0; k < 5; ++k)
      r[k] = k == 0 ? times19(z[5]) : _mm512_add_epi64(_mm512_add_epi64(z[k], z[k]), times19(z[k + 5]));
#pragma GCC unroll 5
    for (int i = 0; i < 5; ++i)
#pragma GCC unroll 5
      for (int j = 0; j < 5 - i; ++j) r[i + j] = _mm512_madd52lo_epu64(r[i + j], a.l[i], b.l[j]);
    if constexpr (Factor == 2)
      for (int k = 0; k < 5; ++k) r[k] = _mm512_add_epi64(r[k], r[k]);
    return {{r[0], r[1], r[2], r[3], r[4]}};
  }

  template <int Factor>
  Wide squared() const {
    // Column k is z_k = D1_k + 2 (D2_k + 2 D4_k): D1 the diagonal low halves,
    // D2 the off-diagonal low and diagonal high halves, D4 the off-diagonal
    // high halves; z_k < (1 + 2 3 + 4 2) 2^52 = 15 2^52. Summed from the
    // heaviest weight down, doubling in between, so the multiplier adds the
    // lighter terms onto the doubled heavier ones.
    __m512i z[10];
    for (int k = 0; k < 10; ++k) z[k] = _mm512_setzero_si512();
#pragma GCC unroll 5
    for (int i = 0; i < 5; ++i)
#pragma GCC unroll 5
      for (int j = i + 1; j < 5; ++j) z[i + j + 1] = _mm512_madd52hi_epu64(z[i + j + 1], l[i], l[j]);
    for (int k = 2; k < 9; ++k) z[k] = _mm512_add_epi64(z[k], z[k]);
#pragma GCC unroll 5
    for (int i = 0; i < 5; ++i) {
      z[2 * i + 1] = _mm512_madd52hi_epu64(z[2 * i + 1], l[i], l[i]);
#pragma GCC unroll 5
      for (int j = i + 1; j < 5; ++j) z[i + j] = _mm512_madd52lo_epu64(z[i + j], l[i], l[j]);
    }
    for (int k = 0; k < 10; ++k) z[k] = _mm512_add_epi64(z[k], z[k]);
    // Upper columns complete (their diagonal low halves added), then folded
    // into the lower ones as 19 z_(k+5) before those get theirs.
    z[6] = _mm512_madd52lo_epu64(z[6], l[3], l[3]);
    z[8] = _mm512_madd52lo_epu64(z[8], l[4], l[4]);
    __m512i r[5];
    for (int k = 0; k < 5; ++k) r[k] = _mm512_add_epi64(z[k], times19(z[k + 5]));
    for (int i = 0; i < 3; ++i) r[2 * i] = _mm512_madd52lo_epu64(r[2 * i], l[i], l[i]);
    if constexpr (Factor == 2)
      for (int k = 0; k < 5; ++k) r[k] = _mm512_add_epi64(r[k], r[k]);
    return {{r[0], r[1], r[2], r[3], r[4]}};
  }

 private:
  // 19 x for x < 15 2^52 (below 2^61): one VPMULLQ (the constant hidden from
  // the compiler, which would turn it back into shifts), or x + 2 x + 16 x.
  static __m512i times19(__m512i x) {
#if defined(__AVX512DQ__)
    __m512i c = splat(19);
    asm("" : "+v"(c));
    return _mm512_mullo_epi64(x, c);
#else
    return _mm512_add_epi64(_mm512_add_epi64(x, _mm512_slli_epi64(x, 1)), _mm512_slli_epi64(x, 4));
#endif
  }
};

}  // namespace VORLINDE_IFMA_FOLD
}  // namespace vorlinde::curve::backend::ifma
