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

  // A fixed-base table laid out for vpermt2q: for sub-table s, coordinate c
  // and limb k, lo[s][c][k] holds limb k of entries 0..7 (entry 0 the
  // identity (1, 1, 0), entry e = e 256^s B) and hi[s][c][k] that of entry 8.
  // A lane's digit magnitude is the permute index: bit 3 picks hi, bits 0..2
  // the entry. 35 KiB.
  struct FixedTable {
    alignas(64) std::uint64_t lo[32][3][5][kLanes];
    std::uint64_t hi[32][3][5];

    void fill(const vector::NielsLimbs* table) {
      for (int s = 0; s < 32; ++s) {
        for (int k = 0; k < 5; ++k) {
          const std::uint64_t one = k == 0 ? 1 : 0;
          lo[s][0][k][0] = one;
          lo[s][1][k][0] = one;
          lo[s][2][k][0] = 0;
          for (int e = 1; e <= 8; ++e) {
            const vector::NielsLimbs& n = table[8 * s + e - 1];
            const std::uint64_t* coordinates[3] = {n.y_plus_x, n.y_minus_x, n.xy2d};
            for (int c = 0; c < 3; ++c) (e < 8 ? lo[s][c][k][e] : hi[s][c][k]) = coordinates[c][k];
          }
        }
      }
    }

    vector::AffineNiels<F51x8> select(int s, Digit digit) const {
      const SignedDigit d = split(digit);
      F51x8 c[3];
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 5; ++k)
          c[i].l[k] = _mm512_permutex2var_epi64(_mm512_load_si512(lo[s][i][k]), d.magnitude, splat(hi[s][i][k]));
      vector::AffineNiels<F51x8> t{c[0], c[1], c[2]};
      t.conditional_negate(d.negative);
      return t;
    }
  };
};

}  // namespace VORLINDE_IFMA_FOLD
}  // namespace vorlinde::curve::backend::ifma
