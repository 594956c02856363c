#pragma once
// Curve and field constants as FieldElements (generated data of the portable
// representation, see tools/).

#include "curve/backend/serial/u64/constants.hpp"
#include "curve/field.hpp"

namespace vorlinde::curve {

using backend::serial::ED25519_BASEPOINT_T;
using backend::serial::ED25519_BASEPOINT_X;
using backend::serial::ED25519_BASEPOINT_Y;
using backend::serial::EDWARDS_D;
using backend::serial::EDWARDS_D2;
using backend::serial::MINUS_A_SQRT_MINUS_A_PLUS_2;
using backend::serial::MINUS_TWO;
using backend::serial::MONTGOMERY_A;
using backend::serial::MONTGOMERY_A_NEG;
using backend::serial::MONTGOMERY_A_SQUARED;
using backend::serial::SQRT_M1;
using backend::serial::SQRT_M1_MINUS_ONE;

}  // namespace vorlinde::curve
