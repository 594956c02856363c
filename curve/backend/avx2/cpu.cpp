// Compiled for the baseline instruction set: it decides whether the rest of
// this folder may run at all.

#include <cpuid.h>

#include <cstdint>

#include "curve/backend/avx2/kernel.hpp"

namespace vorlinde::curve::backend::avx2 {

bool avx2_usable(const CpuidFacts& cpu) {
  if (cpu.max_leaf < 7) return false;
  const bool osxsave = cpu.leaf1_ecx & (1u << 27), avx = cpu.leaf1_ecx & (1u << 28);
  if (!(osxsave && avx)) return false;  // OSXSAVE: XGETBV is usable
  if (!(cpu.leaf7_ebx & (1u << 5))) return false;  // AVX2
  // XCR0: the OS saves SSE (1) and AVX (2) state, the full YMM registers.
  constexpr std::uint64_t kNeeded = (1u << 1) | (1u << 2);
  return (cpu.xcr0 & kNeeded) == kNeeded;
}

bool cpu_has_avx2() {
  CpuidFacts cpu;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  cpu.max_leaf = __get_cpuid_max(0, nullptr);
  if (cpu.max_leaf >= 7) {
    __cpuid(1, eax, ebx, ecx, edx);
    cpu.leaf1_ecx = ecx;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    cpu.leaf7_ebx = ebx;
  }
  // XGETBV exists only where OSXSAVE says so.
  if (cpu.leaf1_ecx & (1u << 27)) {
    std::uint32_t lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    cpu.xcr0 = (std::uint64_t{hi} << 32) | lo;
  }
  return avx2_usable(cpu);
}

}  // namespace vorlinde::curve::backend::avx2
