// Variable-base and fixed-base scalar multiplication, eight points per vector.
// The algorithms are the portable backend's (signed radix 16, most significant
// digit first); every lane runs the same instruction stream, and a lane's
// digit only ever reaches a compare mask or a permute index in a register.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/ifma/field.hpp"
#include "curve/backend/ifma/kernel.hpp"
#include "curve/backend/ifma/lanes.hpp"
#include "curve/backend/ifma/points.hpp"

namespace vorlinde::curve::backend::ifma {
namespace {

constexpr int kDigits = 64;

// The digits of one chunk, digit-major: lanes[i][j] is digit i of lane j
// (0 in lanes at or beyond m). Cleared on destruction.
struct ChunkDigits {
  alignas(16) std::int8_t lanes[kDigits][kLanes];

  ChunkDigits(const std::int8_t* first, std::size_t stride, std::size_t m) {
    for (int i = 0; i < kDigits; ++i)
      VORLINDE_LANE_LOOP
      for (std::size_t j = 0; j < kLanes; ++j) lanes[i][j] = j < m ? first[j * stride + i] : 0;
  }
  ~ChunkDigits() {
    std::memset(lanes, 0, sizeof lanes);
    asm volatile("" : : "r"(lanes) : "memory");  // keep the clearing store
  }
  ChunkDigits(const ChunkDigits&) = delete;
  ChunkDigits& operator=(const ChunkDigits&) = delete;

  // Digit i of every lane, sign-extended to 64 bits.
  __m512i get(int i) const {
    return _mm512_cvtepi8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lanes[i])));
  }
};

struct SignedDigit {
  __m512i magnitude;  // 0..8
  Mask negative;
};

SignedDigit split(__m512i digit) {
  return {_mm512_abs_epi64(digit), {_mm512_cmplt_epi64_mask(digit, _mm512_setzero_si512())}};
}

// Per lane j: the multiples 1 P_j .. 8 P_j. Selection scans every entry with
// compare masks.
struct VariableTable {
  ProjectiveNielsX8 entries[8];

  explicit VariableTable(const ExtendedX8& P) {
    entries[0] = P.to_projective_niels();
    for (int j = 1; j < 8; ++j) entries[j] = (P + entries[j - 1]).to_extended().to_projective_niels();
  }

  ProjectiveNielsX8 select(__m512i digit) const {
    const SignedDigit d = split(digit);
    ProjectiveNielsX8 t = ProjectiveNielsX8::identity();
    for (int j = 1; j <= 8; ++j)
      t.conditional_assign(entries[j - 1], {_mm512_cmpeq_epi64_mask(d.magnitude, splat(j))});
    t.conditional_negate(d.negative);
    return t;
  }
};

ProjectiveX8 quadruple(ProjectiveX8 p) {
  p = p.dbl().to_projective();
  p = p.dbl().to_projective();
  return p.dbl().to_projective();
}

ExtendedX8 variable_base_chunk(const ExtendedX8& P, const ChunkDigits& digits) {
  // Q = a_63 P, then Q = 16 Q + a_i P for i = 62 .. 0; the doublings stay
  // projective and only the fourth produces the T the addition needs.
  const VariableTable table(P);
  CompletedX8 acc = ExtendedX8::identity() + table.select(digits.get(63));
  for (int i = 62; i >= 0; --i) {
    const ProjectiveX8 p = quadruple(acc.to_projective());
    acc = p.dbl().to_extended_sums() + table.select(digits.get(i));
  }
  return acc.to_extended();
}

// A fixed-base table laid out for vpermt2q: for sub-table s, coordinate c and
// limb k, lo[s][c][k] holds limb k of entries 0..7 (entry 0 the identity
// (1, 1, 0), entry e = e 256^s B) and hi[s][c][k] that of entry 8. A lane's
// digit magnitude is the permute index: bit 3 picks hi, bits 0..2 the entry.
struct FixedTable {
  alignas(64) std::uint64_t lo[32][3][5][kLanes];
  std::uint64_t hi[32][3][5];

  // Public data, 35 KiB: kept off the stack (see fixed_base()).
  void fill(const NielsLimbs* table) {
    for (int s = 0; s < 32; ++s) {
      for (int k = 0; k < 5; ++k) {
        const std::uint64_t one = k == 0 ? 1 : 0;
        lo[s][0][k][0] = one;
        lo[s][1][k][0] = one;
        lo[s][2][k][0] = 0;
        for (int e = 1; e <= 8; ++e) {
          const NielsLimbs& n = table[8 * s + e - 1];
          std::uint64_t* dst[3] = {e < 8 ? &lo[s][0][k][e] : &hi[s][0][k], e < 8 ? &lo[s][1][k][e] : &hi[s][1][k],
                                   e < 8 ? &lo[s][2][k][e] : &hi[s][2][k]};
          *dst[0] = n.y_plus_x[k];
          *dst[1] = n.y_minus_x[k];
          *dst[2] = n.xy2d[k];
        }
      }
    }
  }

  AffineNielsX8 select(int s, __m512i digit) const {
    const SignedDigit d = split(digit);
    F51x8 c[3];
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < 5; ++k)
        c[i].l[k] = _mm512_permutex2var_epi64(_mm512_load_si512(lo[s][i][k]), d.magnitude, splat(hi[s][i][k]));
    AffineNielsX8 t{c[0], c[1], c[2]};
    t.conditional_negate(d.negative);
    return t;
  }
};

ExtendedX8 fixed_base_chunk(const FixedTable& table, const ChunkDigits& digits) {
  // k B = 16 sum_odd a_i 256^((i-1)/2) B + sum_even a_i 256^(i/2) B.
  CompletedX8 acc = ExtendedX8::identity() + table.select(0, digits.get(1));
  for (int i = 3; i < kDigits; i += 2) acc = acc.to_extended_sums() + table.select(i / 2, digits.get(i));
  acc = quadruple(acc.to_projective()).dbl();
  for (int i = 0; i < kDigits; i += 2) acc = acc.to_extended_sums() + table.select(i / 2, digits.get(i));
  return acc.to_extended();
}

}  // namespace

void variable_base(const PointLimbs* points, const std::int8_t* digits, std::size_t digit_stride, std::size_t n,
                   PointLimbs* out) {
  for (std::size_t c = 0; c < n; c += kLanes) {
    const std::size_t m = n - c < kLanes ? n - c : kLanes;
    const ChunkDigits d(digits + c * digit_stride, digit_stride, m);
    store_points(variable_base_chunk(load_points(points + c, m), d), out + c, m);
  }
}

void mul_by_cofactor(const PointLimbs* points, std::size_t n, PointLimbs* out) {
  for (std::size_t c = 0; c < n; c += kLanes) {
    const std::size_t m = n - c < kLanes ? n - c : kLanes;
    const ProjectiveX8 p = load_points(points + c, m).to_projective().dbl().to_projective().dbl().to_projective();
    store_points(p.dbl().to_extended(), out + c, m);
  }
}

void fixed_base(const NielsLimbs* table, const std::int8_t* digits, std::size_t n, PointLimbs* out) {
  if (n == 0) return;
  // One per thread, outside the stack: on the stack it would push the frames
  // that hold secrets (digits, spilled intermediate points) below the depth
  // that the operations scrub when they end.
  static thread_local FixedTable lanes_table;
  lanes_table.fill(table);
  for (std::size_t c = 0; c < n; c += kLanes) {
    const std::size_t m = n - c < kLanes ? n - c : kLanes;
    const ChunkDigits d(digits + c * 64, 64, m);
    store_points(fixed_base_chunk(lanes_table, d), out + c, m);
  }
}

}  // namespace vorlinde::curve::backend::ifma
