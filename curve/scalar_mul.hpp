#pragma once
// Scalar-multiplication backends. The point and encoding code calls
// `scalar_mul_backend()` and never names a backend; the choice is made once,
// on first use, from what the processor offers. Each backend implements both
// routines for every scalar below 2^255, reduced or not, in constant time.

#include "curve/edwards.hpp"

namespace vorlinde::curve {

struct ScalarMulBackend {
  const char* name;
  EdwardsPoint (*variable_base)(const EdwardsPoint& P, const Scalar& k);
  EdwardsPoint (*fixed_base)(const EdwardsBasepointTable& table, const Scalar& k);
};

// The portable 5 x 51-bit backend, available everywhere.
extern const ScalarMulBackend SERIAL_SCALAR_MUL;

const ScalarMulBackend& scalar_mul_backend();

}  // namespace vorlinde::curve
