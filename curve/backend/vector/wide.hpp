#pragma once
// A lane field F's product before its carry pass: N columns of registers
// F::Register, too wide for a multiplier input (F states their bound). + and - accept
// it beside an F or another wide value and carry once, which spares the carry
// pass of products that only feed a sum or a difference.

#include "curve/backend/vector/isa_only.hpp"

namespace vorlinde::curve::backend::vector {

template <class F, int N>
struct Wide {
  typename F::Register l[N];

  friend F operator+(const Wide& a, const F& b) { return F::sum(a.l, b.l); }
  friend F operator+(const F& a, const Wide& b) { return F::sum(a.l, b.l); }
  friend F operator+(const Wide& a, const Wide& b) { return F::sum(a.l, b.l); }
  friend F operator-(const Wide& a, const F& b) { return F::difference(a.l, b.l); }
  friend F operator-(const F& a, const Wide& b) { return F::difference(a.l, b.l); }
  friend F operator-(const Wide& a, const Wide& b) { return F::difference(a.l, b.l); }
};

}  // namespace vorlinde::curve::backend::vector
