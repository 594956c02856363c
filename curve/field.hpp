#pragma once
// The field GF(p), p = 2^255 - 19, as everything above it sees it.
//
// Single-element code (points, encodings, the Elligator maps) uses
// `FieldElement` and `LooseFieldElement` and the routines of field_ops.hpp
// (invert, pow_p58, sqrt_ratio_i, conditional_select, conditional_negate).
// The representation is the portable 5 x 51-bit one; the vector backends keep
// their own lane types behind the batched interface of curve/backend.hpp, so
// nothing above this header names a representation or writes limbs.

#include "curve/backend/serial/u64/field.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve {

// Limbs of every value below 2^52: products, differences, from_bytes, constants.
using FieldElement = backend::serial::FieldElement51;
// Sums of up to four FieldElements: what products accept.
using LooseFieldElement = backend::serial::LooseFieldElement51;

// The exponentiation chains are compiled once (field.cpp): inlined into every
// caller they cost about a tenth more, from code size.
extern template Pow22501<FieldElement> pow22501(const FieldElement&);
extern template FieldElement invert(const FieldElement&);
extern template FieldElement pow_p58(const FieldElement&);
extern template SqrtRatio<FieldElement> sqrt_ratio_i(const FieldElement&, const FieldElement&);

}  // namespace vorlinde::curve
