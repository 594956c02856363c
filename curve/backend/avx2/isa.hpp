#pragma once
// What the shared kernels (curve/backend/vector/) need of AVX2 beyond its
// field and lanes: digit loading, table selection and the fixed-table layout.
// Selection blends every entry under compare masks (vpcmpeqq, vpblendvb),
// limb by limb, so that the eight masks and the limb being selected stay in
// registers.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/avx2/lanes.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "curve/backend/vector/points.hpp"

namespace vorlinde::curve::backend::avx2 {

struct Isa : Lanes {
  using Digit = __m256i;

  // Digits of the four lanes, sign-extended to 64 bits.
  static Digit digit(const std::int8_t (&lanes)[kLanes]) {
    std::int32_t four;
    std::memcpy(&four, lanes, sizeof four);
    return _mm256_cvtepi8_epi64(_mm_cvtsi32_si128(four));
  }

  // hit[e - 1]: the lanes whose digit has magnitude e; negative: those below 0.
  struct SignedDigit {
    __m256i hit[8];
    Mask negative;
  };
  // |d| = (d ^ s) - s with s = all ones for d < 0.
  static SignedDigit split(Digit digit) {
    SignedDigit d;
    d.negative = {_mm256_cmpgt_epi64(_mm256_setzero_si256(), digit)};
    const __m256i magnitude = _mm256_sub_epi64(_mm256_xor_si256(digit, d.negative.v), d.negative.v);
    for (int e = 0; e < 8; ++e) d.hit[e] = _mm256_cmpeq_epi64(magnitude, splat(e + 1));
    return d;
  }

  // Per lane j: digit_j P_j from table[e - 1] = e P_j. Limb 0 of the
  // identity's Y+X, Y-X, Z is 1, all else 0.
  static vector::ProjectiveNiels<F25x4> select(const vector::ProjectiveNiels<F25x4> (&table)[8], Digit digit) {
    const SignedDigit d = split(digit);
    vector::ProjectiveNiels<F25x4> t;
    F25x4* out[4] = {&t.Y_plus_X, &t.Y_minus_X, &t.Z, &t.T2d};
    for (int c = 0; c < 4; ++c) {
      for (int k = 0; k < F25x4::kLimbs; ++k) {
        __m256i v = c < 3 && k == 0 ? splat(1) : _mm256_setzero_si256();
        for (int e = 0; e < 8; ++e) {
          const F25x4* in[4] = {&table[e].Y_plus_X, &table[e].Y_minus_X, &table[e].Z, &table[e].T2d};
          v = _mm256_blendv_epi8(v, in[c]->l[k], d.hit[e]);
        }
        out[c]->l[k] = v;
      }
    }
    t.conditional_negate(d.negative);
    return t;
  }

  // A radix-16 comb table in lane limbs: entry[s][e - 1][c][k] is limb k
  // (radix 2^25.5) of coordinate c of e 16^s B, for a broadcast load into all
  // lanes. Radix 16 rather than 32 because selection here blends every entry
  // limb by limb: twice the entries would cost more than the 12 additions
  // saved. 64 additions, no doubling; 120 KiB.
  struct FixedTable {
    static constexpr int kWindowBits = 4;
    static constexpr int kDigits = 64;
    std::uint64_t entry[kDigits][8][3][10];

    // Limbs < 2^52 split as in gather(), then carried once so that every
    // limb is within the F25x4 bounds.
    void put(int s, int e, int c, const std::uint64_t* limbs) {
      std::uint64_t(&v)[10] = entry[s][e][c];
      std::uint64_t carry = 0;
      for (int k = 0; k < 10; ++k) {
        v[k] = (k % 2 == 0 ? limbs[k / 2] & F25x4::kLow26 : limbs[k / 2] >> 26) + carry;
        carry = v[k] >> F25x4::bits(k);
        v[k] &= F25x4::bits(k) == 26 ? F25x4::kLow26 : F25x4::kLow25;
      }
      v[0] += 19 * carry;
    }

    // Limb by limb, as Isa::select; the identity is (1, 1, 0).
    vector::AffineNiels<F25x4> select(int s, Digit digit) const {
      const SignedDigit d = split(digit);
      vector::AffineNiels<F25x4> t;
      F25x4* out[3] = {&t.y_plus_x, &t.y_minus_x, &t.xy2d};
      for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < F25x4::kLimbs; ++k) {
          __m256i v = c < 2 && k == 0 ? splat(1) : _mm256_setzero_si256();
          for (int e = 0; e < 8; ++e) v = _mm256_blendv_epi8(v, splat(entry[s][e][c][k]), d.hit[e]);
          out[c]->l[k] = v;
        }
      }
      t.conditional_negate(d.negative);
      return t;
    }
  };
};

}  // namespace vorlinde::curve::backend::avx2
