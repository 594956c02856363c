// The AVX-512 IFMA kernel tables: the shared kernels instantiated over this
// instruction set's types, built with its flags; with AVX-512DQ in the flags
// (kernels_vpmullq.cpp) the field folds with VPMULLQ.

#include "curve/backend/ifma/isa.hpp"
#include "curve/backend/vector/kernels.hpp"

namespace vorlinde::curve::backend::ifma {

#if defined(__AVX512DQ__)
constinit const vector::KernelTable kKernelsVpmullq = vector::kernel_table<Isa>();
#else
constinit const vector::KernelTable kKernels = vector::kernel_table<Isa>();
#endif

}  // namespace vorlinde::curve::backend::ifma
