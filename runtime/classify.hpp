#pragma once
// Marks for the constant-time check (tests/ct). classify() tells the checking
// tool that the bytes are secret, so that any branch or memory index computed
// from them is reported; declassify() tells it that the bytes are public from
// here on (a result handed to the caller, a decision that is by design public).
//
// The core is compiled for the check with VORLINDE_CT_CHECK_VALGRIND (the marks
// are memcheck client requests: secret = undefined) or VORLINDE_CT_CHECK_MSAN
// (MemorySanitizer poison and unpoison). In every other build both functions
// are empty and compile to nothing.

#include <cstddef>

#if defined(VORLINDE_CT_CHECK_VALGRIND)
#include <valgrind/memcheck.h>
#elif defined(VORLINDE_CT_CHECK_MSAN)
#include <sanitizer/msan_interface.h>
#endif

namespace vorlinde::runtime {

inline void classify([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t size) {
#if defined(VORLINDE_CT_CHECK_VALGRIND)
  VALGRIND_MAKE_MEM_UNDEFINED(data, size);
#elif defined(VORLINDE_CT_CHECK_MSAN)
  __msan_poison(data, size);
#endif
}

inline void declassify([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t size) {
#if defined(VORLINDE_CT_CHECK_VALGRIND)
  VALGRIND_MAKE_MEM_DEFINED(data, size);
#elif defined(VORLINDE_CT_CHECK_MSAN)
  __msan_unpoison(data, size);
#endif
}

// An empty asm statement that takes `x` in a register, so the optimiser can
// neither see the value nor turn masked arithmetic on it into a branch
// (curve::value_barrier, which every mask and Choice passes through).
//
// The MemorySanitizer build differs in two ways. MemorySanitizer checks the
// register operands of asm statements and marks their results public, which
// would report every mask and then lose the mark, so `x` goes through memory
// (hidden from the optimiser just the same). And it approximates the
// secrecy of a sum or difference by the OR of its operands', without carries:
// the top bit of x | -x for a secret byte x comes out public, so a mask made
// from it would be too. Every barrier therefore spreads a mark on any bit of
// `x` to all of it, as memcheck does for carries; masks are all-or-nothing by
// design, so this reports nothing that memcheck would not.
template <class T>
inline T register_barrier(T x) {
#if defined(VORLINDE_CT_CHECK_MSAN)
  // Tested before the statement: should MSan ever handle asm conservatively
  // (marking memory operands public), the mark is still restored.
  const bool marked = __msan_test_shadow(&x, sizeof x) != -1;
  asm("" : "+m"(x));
  if (marked) __msan_poison(&x, sizeof x);
#else
  asm("" : "+r"(x));
#endif
  return x;
}

}  // namespace vorlinde::runtime
