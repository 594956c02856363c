#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "curve/backend.hpp"
#if defined(__x86_64__)
#endif

namespace vorlinde::curve {
namespace {

// The portable backend is always there, first; names are unique because the
// constant-time check selects backends by name.
TEST(BackendDispatch, ListStartsWithThePortableBackendAndNamesAreUnique) {
  const auto backends = available_backends();
  ASSERT_FALSE(backends.empty());
  EXPECT_EQ(backends.front(), &SERIAL_BACKEND);
  for (std::size_t i = 0; i < backends.size(); ++i)
    for (std::size_t j = i + 1; j < backends.size(); ++j)
      EXPECT_NE(std::string_view(backends[i]->name), std::string_view(backends[j]->name));
}

#if defined(__x86_64__)
// IFMA before AVX2 before the portable code: each backend is chosen exactly
// when the faster ones are missing.
TEST(BackendDispatch, IfmaThenAvx2ThenThePortableBackend) {
  using List = std::vector<const Backend*>;
  EXPECT_EQ(backends_for({.avx2 = false, .ifma = false}), (List{&SERIAL_BACKEND}));
  EXPECT_EQ(backends_for({.avx2 = true, .ifma = false}), (List{&SERIAL_BACKEND, &AVX2_BACKEND}));
  EXPECT_EQ(backends_for({.avx2 = true, .ifma = true}), (List{&SERIAL_BACKEND, &AVX2_BACKEND, &IFMA_BACKEND}));
  EXPECT_EQ(backends_for({.avx2 = false, .ifma = true}), (List{&SERIAL_BACKEND, &IFMA_BACKEND}));
  EXPECT_EQ(backends_for({.avx2 = true, .ifma = true, .ifma_vpmullq = true}),
            (List{&SERIAL_BACKEND, &AVX2_BACKEND, &IFMA_BACKEND, &IFMA_VPMULLQ_BACKEND}));
  // This processor's list is the one its features give.
  const auto backends = available_backends();
  EXPECT_EQ(List(backends.begin(), backends.end()),
            backends_for(features_of(this_processor_facts())));
}

TEST(BackendDispatch, TheAvx2BackendRunsExactlyWhereTheProcessorHasIt) {
  const auto backends = available_backends();
  const bool listed = std::find(backends.begin(), backends.end(), &AVX2_BACKEND) != backends.end();
  EXPECT_EQ(listed, features_of(this_processor_facts()).avx2);
  if (!listed) GTEST_SKIP() << "this processor (or OS) lacks AVX2";
  if (!features_of(this_processor_facts()).ifma) {
    EXPECT_EQ(&active_backend(), &AVX2_BACKEND);
  }
}

// The decision from raw CPUID and XCR0 values (Intel SDM vol. 2A, CPUID leaf
// 1 ECX.OSXSAVE[27], ECX.AVX[28], leaf 7 EBX.AVX2[5]; vol. 1 13.3, XCR0 bits
// 1 and 2): every bit is needed, and AVX-512 state is not.
TEST(BackendDispatch, Avx2NeedsEveryFeatureBitAndTheSavedRegisterState) {
  const CpuidFacts full{7, (1u << 27) | (1u << 28), 1u << 5, 0x7};
  EXPECT_TRUE(features_of(full).avx2);
  for (const int bit : {27, 28}) {
    CpuidFacts c = full;
    c.leaf1_ecx &= ~(1u << bit);
    EXPECT_FALSE(features_of(c).avx2) << "leaf 1 ECX bit " << bit;
  }
  CpuidFacts no_avx2 = full;
  no_avx2.leaf7_ebx = (1u << 16) | (1u << 21) | (1u << 31);  // AVX-512 bits alone do not do
  EXPECT_FALSE(features_of(no_avx2).avx2);
  for (const int bit : {1, 2}) {
    CpuidFacts c = full;
    c.xcr0 &= ~(std::uint64_t{1} << bit);
    EXPECT_FALSE(features_of(c).avx2) << "XCR0 bit " << bit;
  }
  CpuidFacts old = full;
  old.max_leaf = 6;
  EXPECT_FALSE(features_of(old).avx2);
}

// The fastest runnable backend is the one in use; the IFMA backend is
// runnable exactly when this processor passes the CPUID and XGETBV test.
TEST(BackendDispatch, TheIfmaBackendRunsExactlyWhereTheProcessorHasIt) {
  const auto backends = available_backends();
  const bool listed = std::find(backends.begin(), backends.end(), &IFMA_BACKEND) != backends.end();
  EXPECT_EQ(listed, features_of(this_processor_facts()).ifma);
  EXPECT_EQ(&active_backend(), backends.back());
  if (!listed) GTEST_SKIP() << "this processor (or OS) lacks AVX-512 IFMA: the portable backend is in use";
  const bool vpmullq = features_of(this_processor_facts()).ifma_vpmullq;
  EXPECT_EQ(&active_backend(), vpmullq ? &IFMA_VPMULLQ_BACKEND : &IFMA_BACKEND);
}

// VPMULLQ (AVX-512DQ, leaf 7 EBX bit 17) is chosen on AMD processors only,
// and only with everything IFMA needs.
TEST(BackendDispatch, TheVpmullqFoldNeedsIfmaAvx512dqAndAnAmdProcessor) {
  CpuidFacts full{7, 1u << 27, (1u << 16) | (1u << 17) | (1u << 21) | (1u << 31), 0xe7};
  full.amd = true;
  EXPECT_TRUE(features_of(full).ifma_vpmullq);
  CpuidFacts intel = full;
  intel.amd = false;
  EXPECT_FALSE(features_of(intel).ifma_vpmullq);
  EXPECT_TRUE(features_of(intel).ifma);
  CpuidFacts no_dq = full;
  no_dq.leaf7_ebx &= ~(1u << 17);
  EXPECT_FALSE(features_of(no_dq).ifma_vpmullq);
  CpuidFacts no_zmm = full;
  no_zmm.xcr0 &= ~std::uint64_t{1u << 6};
  EXPECT_FALSE(features_of(no_zmm).ifma_vpmullq);
}

// The decision from raw CPUID and XCR0 values (Intel SDM vol. 2A, CPUID leaf
// 1 ECX.OSXSAVE[27], leaf 7 EBX.AVX512F[16], .AVX512IFMA[21], .AVX512VL[31];
// vol. 1 13.3, XCR0 bits 1, 2, 5, 6, 7): every bit is needed.
TEST(BackendDispatch, IfmaNeedsEveryFeatureBitAndTheSavedRegisterState) {
  const CpuidFacts full{7, 1u << 27, (1u << 16) | (1u << 21) | (1u << 31), 0xe7};
  EXPECT_TRUE(features_of(full).ifma);
  for (const int bit : {16, 21, 31}) {
    CpuidFacts c = full;
    c.leaf7_ebx &= ~(1u << bit);
    EXPECT_FALSE(features_of(c).ifma) << "leaf 7 EBX bit " << bit;
  }
  for (const int bit : {1, 2, 5, 6, 7}) {
    CpuidFacts c = full;
    c.xcr0 &= ~(std::uint64_t{1} << bit);
    EXPECT_FALSE(features_of(c).ifma) << "XCR0 bit " << bit;
  }
  CpuidFacts no_xsave = full;
  no_xsave.leaf1_ecx = 0;
  EXPECT_FALSE(features_of(no_xsave).ifma);
  CpuidFacts old = full;
  old.max_leaf = 6;
  EXPECT_FALSE(features_of(old).ifma);
  // AVX2 and AVX-512 without the OS saving ZMM state (XCR0 = 7, as a kernel
  // booted with AVX-512 disabled reports).
  CpuidFacts no_zmm = full;
  no_zmm.xcr0 = 0x7;
  EXPECT_FALSE(features_of(no_zmm).ifma);
}
#endif

// Once active_backend() has answered, forcing must refuse rather than
// switch backends under code that may already be running.
TEST(BackendDispatch, ForcingAfterTheChoiceOrAnUnknownNameChangesNothing) {
  const Backend& chosen = active_backend();
  for (const Backend* backend : available_backends()) EXPECT_FALSE(force_backend(backend->name));
  EXPECT_FALSE(force_backend("no-such-backend"));
  EXPECT_EQ(&active_backend(), &chosen);
}

}  // namespace
}  // namespace vorlinde::curve
