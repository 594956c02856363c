// The AVX2 kernel table: the shared kernels instantiated over this
// instruction set's types, built with its flags.

#include "curve/backend/avx2/isa.hpp"
#include "curve/backend/vector/kernels.hpp"

namespace vorlinde::curve::backend::avx2 {

constinit const vector::KernelTable kKernels = vector::kernel_table<Isa>();

}  // namespace vorlinde::curve::backend::avx2
