#pragma once
// Single-point scalar multiplication in the portable representation; the
// portable backend loops over these.

#include "curve/edwards.hpp"
#include "curve/scalar.hpp"

namespace vorlinde::curve::backend::serial {

// k P for any k below 2^255, reduced or not; constant time in k and P.
EdwardsPoint variable_base(const EdwardsPoint& P, const Scalar& k);
// k B, B the point the table was made for; constant time in k.
EdwardsPoint fixed_base(const EdwardsBasepointTable& table, const Scalar& k);

}  // namespace vorlinde::curve::backend::serial
