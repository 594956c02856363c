// The AVX-512 IFMA kernel table: the shared kernels instantiated over this
// instruction set's types, built with its flags.

#include "curve/backend/ifma/isa.hpp"
#include "curve/backend/vector/kernels.hpp"

namespace vorlinde::curve::backend::ifma {

constinit const vector::KernelTable kKernels = vector::kernel_table<Isa>();

}  // namespace vorlinde::curve::backend::ifma
