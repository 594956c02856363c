#pragma once
// Included first by every shared template of this folder. The templates are
// instantiated only inside an instruction set's own translation units, over
// that instruction set's types, so that every instance's symbol names
// ifma:: or avx2:: and the linker can never hand one to baseline code
// (scripts/test-ifma-isa checks the built objects for exactly that).

#if !defined(__AVX2__)
#error "curve/backend/vector/ holds vector templates: include it only from a vector instruction set's kernels"
#endif

// The copies between lanes and memory stay plain loops over the lanes (they
// cost nothing next to the arithmetic): clang would vectorize them into masked
// gathers and scatters, whose operands clang 14's MemorySanitizer checks as if
// they were branch conditions, so the constant-time check would report every
// secret copied.
#if defined(__clang__)
#define VORLINDE_LANE_LOOP _Pragma("clang loop vectorize(disable) interleave(disable)")
#else
#define VORLINDE_LANE_LOOP
#endif
