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

  // A radix-2^W comb table (W = kWindowBits) laid out for vpermt2q:
  // entries[s][c][k][e - 1] is limb k of coordinate c of e 2^(W s) B (e = 1..
  // 2^(W-1)), so each 16 entries of one limb are two registers, and a lane's
  // digit magnitude less one, taken mod 16, is the permute index into the
  // block that its bits 4 and up name; every block is permuted, under a
  // zeroing mask of its lanes. Magnitude 0 picks the identity (1, 1, 0).
  // Radix 64: 43 additions (64 and four doublings at radix 16) for a 161 KiB
  // table, L2 on every processor with IFMA; an addition reads 60 of its lines.
  struct FixedTable {
    static constexpr int kWindowBits = 6;
    static constexpr int kDigits = (256 + kWindowBits - 1) / kWindowBits;
    static constexpr int kEntries = 1 << (kWindowBits - 1);
    static_assert(kEntries % 16 == 0);
    alignas(64) std::uint64_t entries[kDigits][3][5][kEntries];

    void put(int s, int e, int c, const std::uint64_t* limbs) {
      for (int k = 0; k < 5; ++k) entries[s][c][k][e] = limbs[k];
    }

    vector::AffineNiels<F51x8> select(int s, Digit digit) const {
      const SignedDigit d = split(digit);
      const __m512i index = _mm512_sub_epi64(d.magnitude, splat(1));
      const __mmask8 nonzero = _mm512_test_epi64_mask(d.magnitude, d.magnitude);
      __mmask8 in_block[kEntries / 16];
      for (int b = 0; b < kEntries / 16; ++b)
        in_block[b] = _mm512_mask_cmpeq_epi64_mask(nonzero, _mm512_srli_epi64(index, 4), splat(b));
      F51x8 c[3];
      for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 5; ++k) {
          __m512i v = _mm512_setzero_si512();
          for (int b = 0; b < kEntries / 16; ++b) {
            const std::uint64_t* block = entries[s][i][k] + 16 * b;
            v = _mm512_or_si512(v, _mm512_maskz_permutex2var_epi64(in_block[b], _mm512_load_si512(block), index,
                                                                    _mm512_load_si512(block + 8)));
          }
          c[i].l[k] = v;
        }
      }
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
