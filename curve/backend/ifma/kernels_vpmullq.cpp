// The IFMA kernel table built with AVX-512DQ: the field folds with VPMULLQ.
#include "curve/backend/ifma/kernels.cpp"
