#include "runtime/stack_scrub.hpp"

#include "runtime/wipe.hpp"

namespace vorlinde::runtime {

namespace {

// Vector registers still hold whatever copied a secret last (memcpy moves a
// 32-byte key through one ymm register); the next code that saves them to the
// stack (the lazy-binding resolver, the unwinder after a failure) would put it
// back below the scrubbed frames. All of them are caller-saved, so any callee
// may zero them. The branches depend only on the processor.
void clear_vector_registers() noexcept {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx")) {
    asm volatile("vzeroall" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                 "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  } else {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
              "xmm12", "xmm13", "xmm14", "xmm15");
  }
  // The C library's string functions use registers 16-31 where AVX-512 gives
  // them. An EVEX write of the 128-bit form zeroes the whole register without
  // running a 512-bit operation; without AVX-512VL only the 512-bit form exists.
  if (__builtin_cpu_supports("avx512vl")) {
    asm volatile(
        ".irp r, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31\n\t"
        "vpxord %%xmm\\r, %%xmm\\r, %%xmm\\r\n\t"
        ".endr" ::);
  } else if (__builtin_cpu_supports("avx512f")) {
    asm volatile(
        ".irp r, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31\n\t"
        "vpxord %%zmm\\r, %%zmm\\r, %%zmm\\r\n\t"
        ".endr" ::);
  }
  // The opmask registers hold per-lane decisions of the vector backend (the
  // sign of each lane's digit, for one); kxorw zeroes the whole register.
  if (__builtin_cpu_supports("avx512f")) {
    asm volatile(
        ".irp r, 1, 2, 3, 4, 5, 6, 7\n\t"
        "kxorw %%k\\r, %%k\\r, %%k\\r\n\t"
        ".endr" ::);
  }
#endif
}

}  // namespace

__attribute__((noinline)) void scrub_stack() noexcept {
  {
    // The array is this frame; the frame sits directly below the caller's.
    unsigned char area[kScrubbedStackBytes];
    wipe(area, sizeof area);
  }
  clear_vector_registers();
}

}  // namespace vorlinde::runtime
