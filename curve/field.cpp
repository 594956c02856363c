#include "curve/field.hpp"

namespace vorlinde::curve {

template Pow22501<FieldElement> pow22501(const FieldElement&);
template FieldElement invert(const FieldElement&);
template FieldElement pow_p58(const FieldElement&);
template SqrtRatio<FieldElement> sqrt_ratio_i(const FieldElement&, const FieldElement&);

}  // namespace vorlinde::curve
