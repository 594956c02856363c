// The AVX2 lane field (ten limbs, radix 2^25.5) against the portable field,
// bit for bit: the portable FieldElement is the oracle, results are compared
// by their canonical encodings, and lane results must stay within the limb
// bounds that the next operation relies on.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "curve/backend/avx2/field_probe.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "curve/field.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

namespace avx2 = backend::avx2;
using testing::random_bytes;
using Bytes = std::array<std::uint8_t, 32>;
using Limbs10 = std::array<std::uint64_t, 10>;

constexpr int kLanes = avx2::kProbeLanes;

// The bounds of curve/backend/avx2/field.hpp, restated: a limb at or above
// them is outside what every operation may receive or return.
constexpr std::uint64_t radix(int i) { return std::uint64_t{1} << (i % 2 == 0 ? 26 : 25); }
constexpr std::uint64_t bound(int i) { return radix(i) + (std::uint64_t{1} << 19); }

// The value as five radix-2^51 limbs: limb i = l_2i + 2^26 l_(2i+1) < 2^52.
FieldElement to_portable(const Limbs10& l) {
  FieldElement::Limbs f;
  for (int i = 0; i < 5; ++i) f[i] = l[2 * i] + (l[2 * i + 1] << 26);
  return FieldElement(f);
}

// x < 2^255 split into limbs below their radix.
Limbs10 from_bytes(const Bytes& b) {
  Limbs10 l{};
  int offset = 0;
  for (int i = 0; i < 10; ++i) {
    const int width = i % 2 == 0 ? 26 : 25;
    for (int k = 0; k < width; ++k, ++offset)
      l[i] |= static_cast<std::uint64_t>((b[offset / 8] >> (offset % 8)) & 1) << k;
  }
  return l;
}

Limbs10 all_limbs(std::uint64_t even, std::uint64_t odd) {
  Limbs10 l;
  for (int i = 0; i < 10; ++i) l[i] = i % 2 == 0 ? even : odd;
  return l;
}

// Representations the lane field must accept: values anywhere in [0, 2p),
// limbs up to their bounds.
std::vector<Limbs10> edge_elements() {
  const std::uint64_t r26 = radix(0) - 1, r25 = radix(1) - 1;
  std::vector<Limbs10> out{
      all_limbs(0, 0),
      [] { Limbs10 l{}; l[0] = 1; return l; }(),
      [&] { Limbs10 l = all_limbs(r26, r25); l[0] -= 19; return l; }(),  // p - 1
      [&] { Limbs10 l = all_limbs(r26, r25); l[0] -= 18; return l; }(),  // p
      [&] { Limbs10 l = all_limbs(r26, r25); l[0] -= 17; return l; }(),  // p + 1
      all_limbs(r26, r25),                                                // 2^255 - 1
      all_limbs(bound(0) - 1, bound(1) - 1),                              // every limb at its bound
      all_limbs(bound(0) - 1, 0),
      all_limbs(0, bound(1) - 1),
      [&] { Limbs10 l{}; l[9] = bound(9) - 1; return l; }(),
      [&] { Limbs10 l{}; l[0] = bound(0) - 1; return l; }(),
      [&] { Limbs10 l = all_limbs(r26, r25); l[1] = bound(1) - 1; l[5] = bound(5) - 1; return l; }(),
  };
  return out;
}

// Limbs uniform below their bounds.
Limbs10 random_element() {
  const auto b = random_bytes<40>();
  Limbs10 l;
  for (int i = 0; i < 10; ++i) {
    const std::uint32_t w = b[4 * i] | b[4 * i + 1] << 8 | b[4 * i + 2] << 16 | static_cast<std::uint32_t>(b[4 * i + 3]) << 24;
    l[i] = w % bound(i);
  }
  return l;
}

struct Probe {
  avx2::FieldProbeResult r;
  Bytes bytes(int lane) const {
    Bytes b;
    std::copy_n(r.bytes + 32 * lane, 32, b.begin());
    return b;
  }
  Limbs10 limbs(int lane) const {
    Limbs10 l;
    std::copy_n(r.limbs + 10 * lane, 10, l.begin());
    return l;
  }
};

Probe probe(avx2::FieldProbeOp op, const std::array<Limbs10, kLanes>& a, const std::array<Limbs10, kLanes>& b,
            unsigned k = 0) {
  std::uint64_t x[kLanes][10], y[kLanes][10];
  for (int j = 0; j < kLanes; ++j)
    for (int i = 0; i < 10; ++i) x[j][i] = a[j][i], y[j][i] = b[j][i];
  Probe p;
  avx2::field_probe(op, x, y, k, &p.r);
  return p;
}

// Every edge element paired with every other, then random ones.
std::vector<std::pair<Limbs10, Limbs10>> operand_pairs() {
  std::vector<std::pair<Limbs10, Limbs10>> pairs;
  const auto edges = edge_elements();
  for (const Limbs10& a : edges)
    for (const Limbs10& b : edges) pairs.emplace_back(a, b);
  for (int i = 0; i < 2000; ++i) pairs.emplace_back(random_element(), random_element());
  return pairs;
}

class Avx2FieldTest : public testing::SodiumTest {
 protected:
  void SetUp() override {
    if (!avx2::cpu_has_avx2()) GTEST_SKIP() << "this processor (or OS) lacks AVX2; the lane field is not run";
  }
};

struct FieldCase {
  const char* name;
  avx2::FieldProbeOp op;
  unsigned k;
  FieldElement (*serial)(const FieldElement&, const FieldElement&);
};

const FieldCase kFieldCases[] = {
    {"add", avx2::FieldProbeOp::kAdd, 0, [](const FieldElement& a, const FieldElement& b) { return (a + b).reduced(); }},
    {"sub", avx2::FieldProbeOp::kSub, 0, [](const FieldElement& a, const FieldElement& b) { return a - b; }},
    {"neg", avx2::FieldProbeOp::kNeg, 0, [](const FieldElement& a, const FieldElement&) { return -a; }},
    {"mul", avx2::FieldProbeOp::kMul, 0, [](const FieldElement& a, const FieldElement& b) { return a * b; }},
    {"square", avx2::FieldProbeOp::kSquare, 0, [](const FieldElement& a, const FieldElement&) { return a.square(); }},
    {"mul2", avx2::FieldProbeOp::kMul2, 0,
     [](const FieldElement& a, const FieldElement& b) { return ((a * b) + (a * b)).reduced(); }},
    {"square2", avx2::FieldProbeOp::kSquare2, 0,
     [](const FieldElement& a, const FieldElement&) { return a.square2().reduced(); }},
    {"wide_sum", avx2::FieldProbeOp::kWideSum, 0,
     [](const FieldElement& a, const FieldElement& b) { return ((a * b) + (a * b) + b.square()).reduced(); }},
    {"wide_diff", avx2::FieldProbeOp::kWideDiff, 0,
     [](const FieldElement& a, const FieldElement& b) { return a * b - a.square2(); }},
    {"wide_from_narrow", avx2::FieldProbeOp::kWideFromNarrow, 0,
     [](const FieldElement& a, const FieldElement& b) { return b - ((a * b) + (a * b)).reduced(); }},
    {"pow2k_1", avx2::FieldProbeOp::kPow2k, 1, [](const FieldElement& a, const FieldElement&) { return a.pow2k(1); }},
    {"pow2k_7", avx2::FieldProbeOp::kPow2k, 7, [](const FieldElement& a, const FieldElement&) { return a.pow2k(7); }},
    {"invert", avx2::FieldProbeOp::kInvert, 0, [](const FieldElement& a, const FieldElement&) { return invert(a); }},
    {"pow_p58", avx2::FieldProbeOp::kPowP58, 0, [](const FieldElement& a, const FieldElement&) { return pow_p58(a); }},
    {"canonical", avx2::FieldProbeOp::kIdentity, 0, [](const FieldElement& a, const FieldElement&) { return a; }},
    {"select_0x5", avx2::FieldProbeOp::kSelect, 0x5, nullptr},
    {"select_0xa", avx2::FieldProbeOp::kSelect, 0xa, nullptr},
};

class Avx2FieldOpTest : public Avx2FieldTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(Avx2FieldOpTest, MatchesPortableFieldWithinLimbBounds) {
  const FieldCase& c = GetParam();
  const auto pairs = operand_pairs();
  const bool slow = c.op == avx2::FieldProbeOp::kInvert || c.op == avx2::FieldProbeOp::kPowP58;
  const std::size_t count = slow ? 400 : pairs.size();
  for (std::size_t at = 0; at < count; at += kLanes) {
    std::array<Limbs10, kLanes> a, b;
    for (int j = 0; j < kLanes; ++j) std::tie(a[j], b[j]) = pairs[(at + j) % pairs.size()];
    const Probe p = probe(c.op, a, b, c.k);
    for (int j = 0; j < kLanes; ++j) {
      const FieldElement x = to_portable(a[j]), y = to_portable(b[j]);
      const FieldElement expected =
          c.serial ? c.serial(x, y) : conditional_select<FieldElement>(x, y, Choice::from_bit((c.k >> j) & 1));
      ASSERT_EQ(p.bytes(j), expected.to_bytes()) << c.name << " lane " << j << " pair " << at + j;
      // The lane result itself (not only its encoding) is the portable value,
      // and it may feed the next operation.
      const Limbs10 l = p.limbs(j);
      ASSERT_EQ(to_portable(l).to_bytes(), expected.to_bytes()) << c.name;
      for (int i = 0; i < 10; ++i) ASSERT_LT(l[i], bound(i)) << c.name << " lane " << j << " limb " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, Avx2FieldOpTest, ::testing::ValuesIn(kFieldCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Avx2FieldTest, CanonicalLimbsAreBelowTheirRadix) {
  // The encoding is packed from these limbs; a limb at its radix would
  // spill into the next one's bits.
  const auto edges = edge_elements();
  for (std::size_t at = 0; at < edges.size(); at += kLanes) {
    std::array<Limbs10, kLanes> a;
    for (int j = 0; j < kLanes; ++j) a[j] = edges[(at + j) % edges.size()];
    const Probe p = probe(avx2::FieldProbeOp::kIdentity, a, a);
    for (int j = 0; j < kLanes; ++j) {
      const Limbs10 l = p.limbs(j);
      for (int i = 0; i < 10; ++i) ASSERT_LT(l[i], radix(i)) << "element " << at + j << " limb " << i;
      EXPECT_EQ(from_bytes(p.bytes(j)), l) << "element " << at + j;
    }
  }
}

TEST_F(Avx2FieldTest, MasksMatchPortableChoices) {
  // Pairs that are equal in value but not in limbs (x, x + p) exercise ct_eq
  // and is_zero beyond limb comparison.
  auto pairs = operand_pairs();
  for (int i = 0; i < 200; ++i) {
    Limbs10 x = random_element();
    for (int l = 0; l < 10; ++l) x[l] %= radix(l) / 2;
    Limbs10 x_plus_p = x;
    for (int l = 0; l < 10; ++l) x_plus_p[l] += radix(l) - 1;
    x_plus_p[0] -= 18;
    pairs.emplace_back(x, x_plus_p);
  }
  for (std::size_t at = 0; at < pairs.size(); at += kLanes) {
    std::array<Limbs10, kLanes> a, b;
    for (int j = 0; j < kLanes; ++j) std::tie(a[j], b[j]) = pairs[(at + j) % pairs.size()];
    const Probe eq = probe(avx2::FieldProbeOp::kCtEq, a, b);
    const Probe zero = probe(avx2::FieldProbeOp::kIsZero, a, b);
    const Probe neg = probe(avx2::FieldProbeOp::kIsNegative, a, b);
    const Probe sqrt = probe(avx2::FieldProbeOp::kSqrtRatioI, a, b);
    for (int j = 0; j < kLanes; ++j) {
      const FieldElement x = to_portable(a[j]), y = to_portable(b[j]);
      EXPECT_EQ(eq.r.flag[j], x.ct_eq(y).value) << "ct_eq pair " << at + j;
      EXPECT_EQ(zero.r.flag[j], x.is_zero().value) << "is_zero pair " << at + j;
      EXPECT_EQ(neg.r.flag[j], x.is_negative().value) << "is_negative pair " << at + j;
      const auto [was_square, root] = sqrt_ratio_i(x, y);
      EXPECT_EQ(sqrt.r.flag[j], was_square.value) << "sqrt_ratio_i pair " << at + j;
      EXPECT_EQ(sqrt.bytes(j), root.to_bytes()) << "sqrt_ratio_i pair " << at + j;
    }
  }
}

}  // namespace
}  // namespace vorlinde::curve
