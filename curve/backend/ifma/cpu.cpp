// Compiled for the baseline instruction set: it decides whether the rest of
// this folder may run at all.

#include <cpuid.h>

#include <cstdint>

#include "curve/backend/ifma/kernel.hpp"

namespace vorlinde::curve::backend::ifma {

bool ifma_usable(const CpuidFacts& cpu) {
  if (cpu.max_leaf < 7) return false;
  if (!(cpu.leaf1_ecx & (1u << 27))) return false;  // OSXSAVE: XGETBV is usable
  const std::uint32_t ebx = cpu.leaf7_ebx;
  const bool avx512f = ebx & (1u << 16), avx512ifma = ebx & (1u << 21), avx512vl = ebx & (1u << 31);
  if (!(avx512f && avx512ifma && avx512vl)) return false;
  // XCR0: the OS saves SSE (1), AVX (2), opmask (5), ZMM_Hi256 (6), Hi16_ZMM (7).
  constexpr std::uint64_t kNeeded = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
  return (cpu.xcr0 & kNeeded) == kNeeded;
}

bool cpu_has_ifma() {
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
  return ifma_usable(cpu);
}

}  // namespace vorlinde::curve::backend::ifma
