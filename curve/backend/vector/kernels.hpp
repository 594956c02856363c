#pragma once
// The kernel table of an instruction set I: every kernel of this folder
// instantiated over I's types. Included by I's kernels.cpp only, which
// defines its kKernels as kernel_table<Isa>().

#include "curve/backend/vector/isa_only.hpp"

#include "curve/backend/vector/elligator.hpp"
#include "curve/backend/vector/encoding.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "curve/backend/vector/scalar_mul.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::vector {

template <class I>
void field_probe(FieldProbeOp op, const std::uint64_t* a, const std::uint64_t* b, unsigned k, FieldProbeResult* out) {
  using F = typename I::Field;
  const F x = I::load_raw(a), y = I::load_raw(b);
  F r = F::zero();
  typename F::Mask flag = I::lane_bits(0);
  switch (op) {
    case FieldProbeOp::kAdd: r = x + y; break;
    case FieldProbeOp::kSub: r = x - y; break;
    case FieldProbeOp::kNeg: r = -x; break;
    case FieldProbeOp::kMul: r = x * y; break;
    case FieldProbeOp::kSquare: r = x.square(); break;
    case FieldProbeOp::kMul2: r = F::mul2(x, y); break;
    case FieldProbeOp::kSquare2: r = x.square2(); break;
    case FieldProbeOp::kWideSum: r = F::mul2_wide(x, y) + y.square_wide(); break;
    case FieldProbeOp::kWideDiff: r = F::mul_wide(x, y) - x.square2_wide(); break;
    case FieldProbeOp::kWideFromNarrow: r = y - F::mul2_wide(x, y); break;
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
    case FieldProbeOp::kSelect: r = curve::conditional_select(x, y, I::lane_bits(k)); break;
    case FieldProbeOp::kIdentity: r = x.canonical(); break;
  }
  I::store_raw(r, out->limbs);
  I::store_bytes(r, I::lane_bits(0), out->bytes, I::kLanes);
  I::store_flags(flag, out->flag, I::kLanes);
}

template <class I>
constexpr KernelTable kernel_table() {
  using T = typename I::FixedTable;
  KernelTable t{.lanes = I::kLanes, .field_limbs = I::Field::kLimbs, .limb_bits = {},
                .variable_base = &variable_base<I>, .fixed_window_bits = T::kWindowBits, .fixed_digits = T::kDigits,
                .fixed_table_bytes = sizeof(T), .fixed_table_fill = &fixed_table_fill<I>, .fixed_base = &fixed_base<I>,
                .mul_by_cofactor = &mul_by_cofactor<I>, .compress = &compress<I>, .decompress = &decompress<I>,
                .uniform_bytes_to_point = &uniform_bytes_to_point<I>,
                .point_to_uniform_bytes = &point_to_uniform_bytes<I>, .field_probe = &field_probe<I>};
  for (int i = 0; i < I::Field::kLimbs; ++i) t.limb_bits[i] = I::Field::bits(i);
  return t;
}

}  // namespace vorlinde::curve::backend::vector
