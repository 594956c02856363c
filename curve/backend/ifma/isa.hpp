#pragma once
// What the shared kernels (curve/backend/vector/) need of AVX-512 IFMA beyond
// its field and lanes: digit loading, table selection and the fixed-table
// layout.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>

#include "curve/backend/ifma/field.hpp"
#include "curve/backend/ifma/lanes.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "curve/backend/vector/points.hpp"

namespace vorlinde::curve::backend::ifma {
inline namespace VORLINDE_IFMA_FOLD {

struct Isa : Lanes {
  using Field = F51x8;
  using Digit = __m512i;

  // Digits of the eight lanes, sign-extended to 64 bits.
  static Digit digit(const std::int8_t (&lanes)[kLanes]) {
    return _mm512_cvtepi8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lanes)));
  }

  struct SignedDigit {
    __m512i magnitude;  // 0..8
    Mask negative;
  };
  static SignedDigit split(Digit digit) {
    return {_mm512_abs_epi64(digit), {_mm512_cmplt_epi64_mask(digit, _mm512_setzero_si512())}};
  }

  // Per lane j: digit_j P_j from table[e - 1] = e P_j, scanning every entry
  // with compare masks.
  static vector::ProjectiveNiels<F51x8> select(const vector::ProjectiveNiels<F51x8> (&table)[8], Digit digit) {
    const SignedDigit d = split(digit);
    auto t = vector::ProjectiveNiels<F51x8>::identity();
    for (int j = 1; j <= 8; ++j) t.conditional_assign(table[j - 1], {_mm512_cmpeq_epi64_mask(d.magnitude, splat(j))});
    t.conditional_negate(d.negative);
    return t;
  }

  // A radix-32 comb table laid out for vpermt2q: entries[s][c][k][e - 1]
  // is limb k of coordinate c of e 32^s B (e = 1..16), so the 16 entries of
  // one limb are two registers and a lane's digit magnitude less one is the
  // permute index. Magnitude 0 picks the identity (1, 1, 0) by mask. 52 digits
  // of which the last is 0 or 1: 52 additions against the 64 additions and
  // four doublings of radix 16, for a 97.5 KiB table (L2, not L1, on every
  // processor with IFMA; each addition reads 30 lines of it, in order).
  struct FixedTable {
    static constexpr int kWindowBits = 5;
    static constexpr int kDigits = 52;
    alignas(64) std::uint64_t entries[kDigits][3][5][16];

    void fill(const vector::NielsLimbs* multiples) {
      for (int s = 0; s < kDigits; ++s) {
        for (int e = 0; e < 16; ++e) {
          const vector::NielsLimbs& n = multiples[16 * s + e];
          const std::uint64_t* coordinates[3] = {n.y_plus_x, n.y_minus_x, n.xy2d};
          for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 5; ++k) entries[s][c][k][e] = coordinates[c][k];
        }
      }
    }

    vector::AffineNiels<F51x8> select(int s, Digit digit) const {
      const SignedDigit d = split(digit);
      const __m512i index = _mm512_sub_epi64(d.magnitude, splat(1));
      const __mmask8 nonzero = _mm512_test_epi64_mask(d.magnitude, d.magnitude);
      F51x8 c[3];
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 5; ++k)
          c[i].l[k] = _mm512_maskz_permutex2var_epi64(nonzero, _mm512_load_si512(entries[s][i][k]), index,
                                                      _mm512_load_si512(entries[s][i][k] + 8));
      const __m512i one = splat(1);
      for (int i = 0; i < 2; ++i) c[i].l[0] = _mm512_mask_mov_epi64(c[i].l[0], static_cast<__mmask8>(~nonzero), one);
      vector::AffineNiels<F51x8> t{c[0], c[1], c[2]};
      t.conditional_negate(d.negative);
      return t;
    }
  };
};

}  // namespace VORLINDE_IFMA_FOLD
}  // namespace vorlinde::curve::backend::ifma
