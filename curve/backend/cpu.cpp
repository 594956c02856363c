// The one reading of the processor's features, built for the baseline
// instruction set: it decides which backends may run at all.

#include "curve/backend.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdint>

namespace vorlinde::curve {

ProcessorFeatures features_of(const CpuidFacts& cpu) {
  ProcessorFeatures f;
  if (cpu.max_leaf < 7 || !(cpu.leaf1_ecx & (1u << 27))) return f;  // no leaf 7, or no OSXSAVE (XGETBV)
  const std::uint32_t ecx = cpu.leaf1_ecx, ebx = cpu.leaf7_ebx;
  // AVX and AVX2, and XCR0 saying the OS saves SSE (1) and AVX (2) state,
  // the full YMM registers.
  constexpr std::uint64_t kYmm = (1u << 1) | (1u << 2);
  f.avx2 = (ecx & (1u << 28)) && (ebx & (1u << 5)) && (cpu.xcr0 & kYmm) == kYmm;
  // AVX-512F, IFMA and VL, and XCR0 adding opmask (5), ZMM_Hi256 (6) and
  // Hi16_ZMM (7).
  constexpr std::uint32_t kIfma = (1u << 16) | (1u << 21) | (1u << 31);
  constexpr std::uint64_t kZmm = kYmm | (1u << 5) | (1u << 6) | (1u << 7);
  f.ifma = (ebx & kIfma) == kIfma && (cpu.xcr0 & kZmm) == kZmm;
  // AVX-512DQ (leaf 7 EBX bit 17) brings VPMULLQ, worth using on AMD only.
  f.ifma_vpmullq = f.ifma && (ebx & (1u << 17)) && cpu.amd;
  return f;
}

CpuidFacts this_processor_facts() {
  CpuidFacts cpu;
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  cpu.max_leaf = __get_cpuid_max(0, nullptr);
  __cpuid(0, eax, ebx, ecx, edx);
  // "AuthenticAMD" in EBX, EDX, ECX.
  cpu.amd = ebx == 0x68747541 && edx == 0x69746e65 && ecx == 0x444d4163;
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
#endif
  return cpu;
}

}  // namespace vorlinde::curve
