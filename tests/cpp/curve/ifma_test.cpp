// The AVX-512 IFMA lane field against the portable field, bit for bit, by
// canonical encodings (the kernels: vector_kernels_test.cpp).

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "curve/backend/ifma/field_probe.hpp"
#include "curve/backend/ifma/kernel.hpp"
#include "curve/edwards.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

namespace ifma = backend::ifma;
using testing::random_bytes;
using Bytes = std::array<std::uint8_t, 32>;
using Limbs = FieldElement::Limbs;

constexpr std::uint64_t kLimbBound = std::uint64_t{1} << 52;
constexpr std::uint64_t kLow51 = backend::serial::limbs51::kLow51;

class IfmaTest : public testing::SodiumTest {
 protected:
  void SetUp() override {
    if (!ifma::cpu_has_ifma()) GTEST_SKIP() << "this processor (or OS) lacks AVX-512 IFMA; kernels not run";
  }
};

// ---- Field ----------------------------------------------------------------

// Representations the kernels must accept: limbs < 2^52, values anywhere in
// [0, 2^256).
std::vector<Limbs> edge_elements() {
  const std::uint64_t top = kLimbBound - 1;
  return {
      {0, 0, 0, 0, 0},
      {1, 0, 0, 0, 0},
      {kLow51 - 19, kLow51, kLow51, kLow51, kLow51},  // p - 1
      {kLow51 - 18, kLow51, kLow51, kLow51, kLow51},  // p
      {kLow51 - 17, kLow51, kLow51, kLow51, kLow51},  // p + 1
      {kLow51, kLow51, kLow51, kLow51, kLow51},       // 2^255 - 1
      {top, top, top, top, top},                      // every limb at its bound
      {top, 0, 0, 0, 0},
      {0, 0, 0, 0, top},
      {kLow51 + 1, kLow51 - 1, kLow51 + 1, kLow51 - 1, top},
      // p + p in loose limbs: 2 (2^51 - 19), 2 (2^51 - 1), ...
      {2 * (kLow51 - 18), 2 * kLow51, 2 * kLow51, 2 * kLow51, 2 * kLow51},
  };
}

Limbs random_element() {
  const auto b = random_bytes<40>();
  Limbs l;
  for (int i = 0; i < 5; ++i) {
    std::uint64_t w = 0;
    for (int j = 0; j < 8; ++j) w |= static_cast<std::uint64_t>(b[5 * i + j % 5] ^ (j * 37)) << (8 * j);
    l[i] = w % kLimbBound;
  }
  return l;
}

Bytes bytes_of(const FieldElement& f) { return f.to_bytes(); }

struct Probe {
  ifma::FieldProbeResult r;
  Bytes bytes(int lane) const {
    Bytes b;
    std::copy_n(r.bytes + 32 * lane, 32, b.begin());
    return b;
  }
  Limbs limbs(int lane) const {
    Limbs l;
    std::copy_n(r.limbs + 5 * lane, 5, l.begin());
    return l;
  }
};

Probe probe(ifma::FieldProbeOp op, const std::array<Limbs, 8>& a, const std::array<Limbs, 8>& b, unsigned k = 0) {
  std::uint64_t x[8][5], y[8][5];
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 5; ++i) x[j][i] = a[j][i], y[j][i] = b[j][i];
  Probe p;
  ifma::field_probe(op, x, y, k, &p.r);
  return p;
}

// Every element paired with every other (edge cases), then random ones.
std::vector<std::pair<Limbs, Limbs>> operand_pairs() {
  std::vector<std::pair<Limbs, Limbs>> pairs;
  const auto edges = edge_elements();
  for (const Limbs& a : edges)
    for (const Limbs& b : edges) pairs.emplace_back(a, b);
  for (int i = 0; i < 2000; ++i) pairs.emplace_back(random_element(), random_element());
  return pairs;
}

struct FieldCase {
  const char* name;
  ifma::FieldProbeOp op;
  unsigned k;
  FieldElement (*serial)(const FieldElement&, const FieldElement&);
};

const FieldCase kFieldCases[] = {
    {"add", ifma::FieldProbeOp::kAdd, 0, [](const FieldElement& a, const FieldElement& b) { return (a + b).reduced(); }},
    {"sub", ifma::FieldProbeOp::kSub, 0, [](const FieldElement& a, const FieldElement& b) { return a - b; }},
    {"neg", ifma::FieldProbeOp::kNeg, 0, [](const FieldElement& a, const FieldElement&) { return -a; }},
    {"mul", ifma::FieldProbeOp::kMul, 0, [](const FieldElement& a, const FieldElement& b) { return a * b; }},
    {"square", ifma::FieldProbeOp::kSquare, 0, [](const FieldElement& a, const FieldElement&) { return a.square(); }},
    {"mul2", ifma::FieldProbeOp::kMul2, 0, [](const FieldElement& a, const FieldElement& b) { return ((a * b) + (a * b)).reduced(); }},
    {"square2", ifma::FieldProbeOp::kSquare2, 0, [](const FieldElement& a, const FieldElement&) { return a.square2().reduced(); }},
    {"wide_sum", ifma::FieldProbeOp::kWideSum, 0,
     [](const FieldElement& a, const FieldElement& b) { return ((a * b) + (a * b) + b.square()).reduced(); }},
    {"wide_diff", ifma::FieldProbeOp::kWideDiff, 0,
     [](const FieldElement& a, const FieldElement& b) { return a * b - a.square2(); }},
    {"pow2k_1", ifma::FieldProbeOp::kPow2k, 1, [](const FieldElement& a, const FieldElement&) { return a.pow2k(1); }},
    {"pow2k_7", ifma::FieldProbeOp::kPow2k, 7, [](const FieldElement& a, const FieldElement&) { return a.pow2k(7); }},
    {"invert", ifma::FieldProbeOp::kInvert, 0, [](const FieldElement& a, const FieldElement&) { return invert(a); }},
    {"pow_p58", ifma::FieldProbeOp::kPowP58, 0, [](const FieldElement& a, const FieldElement&) { return pow_p58(a); }},
    {"canonical", ifma::FieldProbeOp::kIdentity, 0, [](const FieldElement& a, const FieldElement&) { return a; }},
    {"select_0x5a", ifma::FieldProbeOp::kSelect, 0x5a, nullptr},
};

class IfmaFieldTest : public IfmaTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(IfmaFieldTest, MatchesPortableFieldWithinLimbBounds) {
  const FieldCase& c = GetParam();
  const auto pairs = operand_pairs();
  const bool slow = c.op == ifma::FieldProbeOp::kInvert || c.op == ifma::FieldProbeOp::kPowP58;
  const std::size_t count = slow ? 400 : pairs.size();
  for (std::size_t at = 0; at < count; at += 8) {
    std::array<Limbs, 8> a, b;
    for (int j = 0; j < 8; ++j) std::tie(a[j], b[j]) = pairs[(at + j) % pairs.size()];
    const Probe p = probe(c.op, a, b, c.k);
    for (int j = 0; j < 8; ++j) {
      const FieldElement x(a[j]), y(b[j]);
      const FieldElement expected =
          c.serial ? c.serial(x, y) : conditional_select<FieldElement>(x, y, Choice::from_bit((c.k >> j) & 1));
      ASSERT_EQ(p.bytes(j), bytes_of(expected)) << c.name << " lane " << j << " pair " << at + j;
      // The lane result itself (not only its encoding) is the portable value.
      ASSERT_EQ(bytes_of(FieldElement(p.limbs(j))), bytes_of(expected)) << c.name;
      for (std::uint64_t limb : p.limbs(j)) ASSERT_LT(limb, kLimbBound) << c.name << " lane " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, IfmaFieldTest, ::testing::ValuesIn(kFieldCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IfmaTest, FieldMasksMatchPortableChoices) {
  // Pairs that are equal in value but not in limbs (x, x + p) exercise ct_eq
  // and is_zero beyond limb comparison.
  auto pairs = operand_pairs();
  for (int i = 0; i < 200; ++i) {
    Limbs x = random_element();
    for (int l = 0; l < 5; ++l) x[l] &= kLow51;
    Limbs x_plus_p = x;
    x_plus_p[0] += kLow51 - 18;
    for (int l = 1; l < 5; ++l) x_plus_p[l] += kLow51;
    pairs.emplace_back(x, x_plus_p);
  }
  for (std::size_t at = 0; at < pairs.size(); at += 8) {
    std::array<Limbs, 8> a, b;
    for (int j = 0; j < 8; ++j) std::tie(a[j], b[j]) = pairs[(at + j) % pairs.size()];
    const Probe eq = probe(ifma::FieldProbeOp::kCtEq, a, b);
    const Probe zero = probe(ifma::FieldProbeOp::kIsZero, a, b);
    const Probe neg = probe(ifma::FieldProbeOp::kIsNegative, a, b);
    const Probe sqrt = probe(ifma::FieldProbeOp::kSqrtRatioI, a, b);
    for (int j = 0; j < 8; ++j) {
      const FieldElement x(a[j]), y(b[j]);
      EXPECT_EQ(eq.r.flag[j], x.ct_eq(y).value) << "ct_eq pair " << at + j;
      EXPECT_EQ(zero.r.flag[j], x.is_zero().value) << "is_zero pair " << at + j;
      EXPECT_EQ(neg.r.flag[j], x.is_negative().value) << "is_negative pair " << at + j;
      const auto [was_square, root] = sqrt_ratio_i(x, y);
      EXPECT_EQ(sqrt.r.flag[j], was_square.value) << "sqrt_ratio_i pair " << at + j;
      EXPECT_EQ(sqrt.bytes(j), bytes_of(root)) << "sqrt_ratio_i pair " << at + j;
    }
  }
}


}  // namespace
}  // namespace vorlinde::curve
