#include "curve/backend/ifma/field_probe.hpp"

#include "curve/backend/ifma/field.hpp"
#include "curve/backend/ifma/lanes.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::ifma {

void field_probe(FieldProbeOp op, const std::uint64_t (*a)[5], const std::uint64_t (*b)[5], unsigned k,
                 FieldProbeResult* out) {
  static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0};
  const F51x8 x = gather(a[0], 5, kLanes, kZero);
  const F51x8 y = gather(b[0], 5, kLanes, kZero);
  F51x8 r = F51x8::zero();
  Mask flag{0};
  switch (op) {
    case FieldProbeOp::kAdd: r = x + y; break;
    case FieldProbeOp::kSub: r = x - y; break;
    case FieldProbeOp::kNeg: r = -x; break;
    case FieldProbeOp::kMul: r = x * y; break;
    case FieldProbeOp::kSquare: r = x.square(); break;
    case FieldProbeOp::kMul2: r = F51x8::mul2(x, y); break;
    case FieldProbeOp::kSquare2: r = x.square2(); break;
    case FieldProbeOp::kWideSum: r = F51x8::mul2_wide(x, y) + y.square_wide(); break;
    case FieldProbeOp::kWideDiff: r = F51x8::mul_wide(x, y) - x.square2_wide(); break;
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
    case FieldProbeOp::kSelect: r = curve::conditional_select(x, y, Mask{static_cast<__mmask8>(k)}); break;
    case FieldProbeOp::kIdentity: r = x.canonical(); break;
  }
  scatter(r, out->limbs, 5, kLanes);
  store_bytes(r, Mask{0}, out->bytes, kLanes);
  store_flags(flag, out->flag, kLanes);
}

}  // namespace vorlinde::curve::backend::ifma
