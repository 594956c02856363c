#include "curve/backend/avx2/field_probe.hpp"

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/avx2/lanes.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::avx2 {
namespace {

F25x4 load_raw(const std::uint64_t (*a)[kProbeLimbs]) {
  alignas(32) std::uint64_t t[kProbeLimbs][kLanes];
  for (std::size_t j = 0; j < kLanes; ++j)
    for (int i = 0; i < kProbeLimbs; ++i) t[i][j] = a[j][i];
  F25x4 r;
  for (int i = 0; i < kProbeLimbs; ++i) r.l[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t[i]));
  return r;
}

void store_raw(const F25x4& r, std::uint64_t* out) {
  alignas(32) std::uint64_t t[kProbeLimbs][kLanes];
  for (int i = 0; i < kProbeLimbs; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(t[i]), r.l[i]);
  for (std::size_t j = 0; j < kLanes; ++j)
    for (int i = 0; i < kProbeLimbs; ++i) out[kProbeLimbs * j + i] = t[i][j];
}

Mask lane_bits(unsigned k) {
  return {_mm256_set_epi64x(-static_cast<long long>((k >> 3) & 1), -static_cast<long long>((k >> 2) & 1),
                            -static_cast<long long>((k >> 1) & 1), -static_cast<long long>(k & 1))};
}

}  // namespace

static_assert(kProbeLanes == static_cast<int>(kLanes));

void field_probe(FieldProbeOp op, const std::uint64_t (*a)[kProbeLimbs], const std::uint64_t (*b)[kProbeLimbs],
                 unsigned k, FieldProbeResult* out) {
  const F25x4 x = load_raw(a);
  const F25x4 y = load_raw(b);
  F25x4 r = F25x4::zero();
  Mask flag{_mm256_setzero_si256()};
  switch (op) {
    case FieldProbeOp::kAdd: r = x + y; break;
    case FieldProbeOp::kSub: r = x - y; break;
    case FieldProbeOp::kNeg: r = -x; break;
    case FieldProbeOp::kMul: r = x * y; break;
    case FieldProbeOp::kSquare: r = x.square(); break;
    case FieldProbeOp::kMul2: r = F25x4::mul2(x, y); break;
    case FieldProbeOp::kSquare2: r = x.square2(); break;
    case FieldProbeOp::kWideSum: r = F25x4::mul2_wide(x, y) + y.square_wide(); break;
    case FieldProbeOp::kWideDiff: r = F25x4::mul_wide(x, y) - x.square2_wide(); break;
    case FieldProbeOp::kWideFromNarrow: r = y - F25x4::mul2_wide(x, y); break;
    case FieldProbeOp::kPow2k: r = x.pow2k(k); break;
    case FieldProbeOp::kInvert: r = curve::invert(x); break;
    case FieldProbeOp::kPowP58: r = curve::pow_p58(x); break;
    case FieldProbeOp::kSqrtRatioI: {
      const auto s = curve::sqrt_ratio_i(x, y);
      r = s.root;
      flag = s.was_square;
      break;
    }
    case FieldProbeOp::kCtEq: flag = x.ct_eq(y); break;
    case FieldProbeOp::kIsZero: flag = x.is_zero(); break;
    case FieldProbeOp::kIsNegative: flag = x.is_negative(); break;
    case FieldProbeOp::kSelect: r = curve::conditional_select(x, y, lane_bits(k)); break;
    case FieldProbeOp::kIdentity: r = x.canonical(); break;
  }
  store_raw(r, out->limbs);
  store_bytes(r, Mask{_mm256_setzero_si256()}, out->bytes, kLanes);
  store_flags(flag, out->flag, kLanes);
}

}  // namespace vorlinde::curve::backend::avx2
