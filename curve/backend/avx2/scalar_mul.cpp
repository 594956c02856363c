// Variable-base and fixed-base scalar multiplication, four points per vector.
// The algorithms are the portable backend's (signed radix 16, most significant
// digit first); every lane runs the same instruction stream, and a lane's
// digit only ever reaches a compare mask in a register, which selects by
// blending over every table entry.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "curve/backend/avx2/lanes.hpp"
#include "curve/backend/avx2/points.hpp"

namespace vorlinde::curve::backend::avx2 {
namespace {

constexpr int kDigits = 64;

// The digits of one chunk, digit-major: lanes[i][j] is digit i of lane j
// (0 in lanes at or beyond m). Cleared on destruction.
struct ChunkDigits {
  alignas(16) std::int8_t lanes[kDigits][kLanes];

  ChunkDigits(const std::int8_t* first, std::size_t stride, std::size_t m) {
    for (int i = 0; i < kDigits; ++i)
      VORLINDE_AVX2_LANE_LOOP
      for (std::size_t j = 0; j < kLanes; ++j) lanes[i][j] = j < m ? first[j * stride + i] : 0;
  }
  ~ChunkDigits() {
    std::memset(lanes, 0, sizeof lanes);
    asm volatile("" : : "r"(lanes) : "memory");  // keep the clearing store
  }
  ChunkDigits(const ChunkDigits&) = delete;
  ChunkDigits& operator=(const ChunkDigits&) = delete;

  // Digit i of every lane, sign-extended to 64 bits.
  __m256i get(int i) const {
    std::int32_t four;
    std::memcpy(&four, lanes[i], sizeof four);
    return _mm256_cvtepi8_epi64(_mm_cvtsi32_si128(four));
  }
};

struct SignedDigit {
  __m256i magnitude;  // 0..8
  Mask negative;
};

// |d| = (d ^ s) - s with s = all ones for d < 0.
SignedDigit split(__m256i digit) {
  const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), digit);
  return {_mm256_sub_epi64(_mm256_xor_si256(digit, negative), negative), {negative}};
}

Mask magnitude_is(const SignedDigit& d, std::uint64_t e) { return {_mm256_cmpeq_epi64(d.magnitude, splat(e))}; }

// Per lane j: the multiples 1 P_j .. 8 P_j. Selection scans every entry with
// compare masks.
struct VariableTable {
  ProjectiveNielsX4 entries[8];

  explicit VariableTable(const ExtendedX4& P) {
    entries[0] = P.to_projective_niels();
    for (int j = 1; j < 8; ++j) entries[j] = (P + entries[j - 1]).to_extended().to_projective_niels();
  }

  ProjectiveNielsX4 select(__m256i digit) const {
    const SignedDigit d = split(digit);
    __m256i hit[8];
    for (int e = 0; e < 8; ++e) hit[e] = magnitude_is(d, e + 1).v;
    // Limb by limb, so that the eight masks and the limb being selected stay
    // in registers; limb 0 of the identity's Y+X, Y-X, Z is 1, all else 0.
    ProjectiveNielsX4 t;
    F25x4* out[4] = {&t.Y_plus_X, &t.Y_minus_X, &t.Z, &t.T2d};
    for (int c = 0; c < 4; ++c) {
      for (int k = 0; k < F25x4::kLimbs; ++k) {
        __m256i v = c < 3 && k == 0 ? splat(1) : _mm256_setzero_si256();
        for (int e = 0; e < 8; ++e) {
          const F25x4* in[4] = {&entries[e].Y_plus_X, &entries[e].Y_minus_X, &entries[e].Z, &entries[e].T2d};
          v = _mm256_blendv_epi8(v, in[c]->l[k], hit[e]);
        }
        out[c]->l[k] = v;
      }
    }
    t.conditional_negate(d.negative);
    return t;
  }
};

ProjectiveX4 quadruple(ProjectiveX4 p) {
  p = p.dbl().to_projective();
  p = p.dbl().to_projective();
  return p.dbl().to_projective();
}

ExtendedX4 variable_base_chunk(const ExtendedX4& P, const ChunkDigits& digits) {
  // Q = a_63 P, then Q = 16 Q + a_i P for i = 62 .. 0; the doublings stay
  // projective and only the fourth produces the T the addition needs.
  const VariableTable table(P);
  CompletedX4 acc = ExtendedX4::identity() + table.select(digits.get(63));
  for (int i = 62; i >= 0; --i) {
    const ProjectiveX4 p = quadruple(acc.to_projective());
    acc = p.dbl().to_extended_sums() + table.select(digits.get(i));
  }
  return acc.to_extended();
}

// The fixed-base table in lane limbs: entry[s][e - 1][c][k] is limb k
// (radix 2^25.5) of coordinate c of e 256^s B, for a broadcast load into all
// lanes. Public data, 60 KiB.
struct FixedTable {
  std::uint64_t entry[32][8][3][10];

  void fill(const NielsLimbs* table) {
    for (int s = 0; s < 32; ++s) {
      for (int e = 0; e < 8; ++e) {
        const NielsLimbs& n = table[8 * s + e];
        const std::uint64_t* coordinates[3] = {n.y_plus_x, n.y_minus_x, n.xy2d};
        for (int c = 0; c < 3; ++c) {
          // Limbs < 2^52 split as in gather(), then carried once so that
          // every limb is within the F25x4 bounds.
          std::uint64_t v[10];
          for (int k = 0; k < 5; ++k) {
            v[2 * k] = coordinates[c][k] & F25x4::kLow26;
            v[2 * k + 1] = coordinates[c][k] >> 26;
          }
          std::uint64_t carry = 0;
          for (int k = 0; k < 10; ++k) {
            v[k] += carry;
            carry = v[k] >> F25x4::bits(k);
            v[k] &= F25x4::bits(k) == 26 ? F25x4::kLow26 : F25x4::kLow25;
          }
          v[0] += 19 * carry;
          for (int k = 0; k < 10; ++k) entry[s][e][c][k] = v[k];
        }
      }
    }
  }

  AffineNielsX4 select(int s, __m256i digit) const {
    const SignedDigit d = split(digit);
    __m256i hit[8];
    for (int e = 0; e < 8; ++e) hit[e] = magnitude_is(d, e + 1).v;
    // Limb by limb, as VariableTable::select; the identity is (1, 1, 0).
    AffineNielsX4 t;
    F25x4* out[3] = {&t.y_plus_x, &t.y_minus_x, &t.xy2d};
    for (int c = 0; c < 3; ++c) {
      for (int k = 0; k < F25x4::kLimbs; ++k) {
        __m256i v = c < 2 && k == 0 ? splat(1) : _mm256_setzero_si256();
        for (int e = 0; e < 8; ++e) v = _mm256_blendv_epi8(v, splat(entry[s][e][c][k]), hit[e]);
        out[c]->l[k] = v;
      }
    }
    t.conditional_negate(d.negative);
    return t;
  }
};

ExtendedX4 fixed_base_chunk(const FixedTable& table, const ChunkDigits& digits) {
  // k B = 16 sum_odd a_i 256^((i-1)/2) B + sum_even a_i 256^(i/2) B.
  CompletedX4 acc = ExtendedX4::identity() + table.select(0, digits.get(1));
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
    const ProjectiveX4 p = load_points(points + c, m).to_projective().dbl().to_projective().dbl().to_projective();
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

}  // namespace vorlinde::curve::backend::avx2
