// The lane fields of the vector backends (AVX-512 IFMA: five limbs, radix
// 2^51; AVX2: ten limbs, radix 2^25.5) against the portable field, bit for
// bit, through the field probe of each kernel table: the portable
// FieldElement is the oracle, results are compared by their canonical
// encodings, and lane results must stay within the limb bounds that the next
// operation relies on. Limbs are given in each field's own representation, so
// that they can sit at its bounds.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "curve/field.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

using backend::vector::FieldProbeOp;
using testing::random_bytes;
using Bytes = std::array<std::uint8_t, 32>;
using Limbs = std::vector<std::uint64_t>;

// One lane field and its bounds, restated from its field.hpp: every limb of
// every input and output is below its radix plus `slack`.
struct LaneField {
  const char* name;
  const backend::vector::KernelTable* kernels;
  std::uint64_t slack;
  bool (*usable)();
};

const LaneField kLaneFields[] = {
    {"ifma", &backend::ifma::kKernels, std::uint64_t{1} << 51, [] { return features_of(this_processor_facts()).ifma; }},
    {"avx2", &backend::avx2::kKernels, std::uint64_t{1} << 19, [] { return features_of(this_processor_facts()).avx2; }},
    {"ifma_vpmullq", &backend::ifma::kKernelsVpmullq, std::uint64_t{1} << 51,
     [] { return features_of(this_processor_facts()).ifma_vpmullq; }},
};

// The representation of one lane field, for building and reading elements.
struct Layout {
  const LaneField& field;
  int limbs() const { return field.kernels->field_limbs; }
  int lanes() const { return static_cast<int>(field.kernels->lanes); }
  int offset(int i) const {
    int o = 0;
    for (int k = 0; k < i; ++k) o += field.kernels->limb_bits[k];
    return o;
  }
  std::uint64_t radix(int i) const { return std::uint64_t{1} << field.kernels->limb_bits[i]; }
  std::uint64_t bound(int i) const { return radix(i) + field.slack; }

  // The value as five radix-2^51 limbs, each < 2^52: lane limb i lands in
  // portable limb offset(i) / 51 (no lane limb straddles two).
  FieldElement to_portable(const Limbs& l) const {
    FieldElement::Limbs f{};
    for (int i = 0; i < limbs(); ++i) f[offset(i) / 51] += l[i] << (offset(i) % 51);
    return FieldElement(f);
  }
  // x < 2^255 split into limbs below their radix.
  Limbs from_bytes(const Bytes& b) const {
    Limbs l(limbs());
    for (int i = 0; i < limbs(); ++i)
      for (int k = 0; k < field.kernels->limb_bits[i]; ++k) {
        const int bit = offset(i) + k;
        l[i] |= static_cast<std::uint64_t>((b[bit / 8] >> (bit % 8)) & 1) << k;
      }
    return l;
  }
  Limbs each(std::uint64_t (*limb)(const Layout&, int)) const {
    Limbs l(limbs());
    for (int i = 0; i < limbs(); ++i) l[i] = limb(*this, i);
    return l;
  }

  // Representations the lane field must accept: values anywhere in [0, 2p)
  // or beyond, limbs up to their bounds.
  std::vector<Limbs> edge_elements() const {
    const auto top = [](const Layout& f, int i) { return f.radix(i) - 1; };
    const auto at_bound = [](const Layout& f, int i) { return f.bound(i) - 1; };
    Limbs one(limbs()), p_minus_1 = each(top), p = p_minus_1, p_plus_1 = p_minus_1, twice_p = p_minus_1;
    one[0] = 1;
    p_minus_1[0] -= 19;
    p[0] -= 18;
    p_plus_1[0] -= 17;
    for (int i = 0; i < limbs(); ++i) twice_p[i] = 2 * (i == 0 ? twice_p[i] - 18 : twice_p[i]);
    Limbs first(limbs()), last(limbs()), even = each(at_bound), odd = each(at_bound), mixed = each(top);
    first[0] = bound(0) - 1;
    last[limbs() - 1] = bound(limbs() - 1) - 1;
    for (int i = 0; i < limbs(); ++i) (i % 2 == 0 ? odd : even)[i] = 0;
    for (int i = 0; i < limbs(); i += 2) mixed[i] = bound(i) - 1;
    std::vector<Limbs> out{Limbs(limbs()), one, p_minus_1, p, p_plus_1, each(top), each(at_bound),
                           first, last, even, odd, mixed};
    // 2p in loose limbs, where the field's bounds allow it.
    bool fits = true;
    for (int i = 0; i < limbs(); ++i) fits = fits && twice_p[i] < bound(i);
    if (fits) out.push_back(twice_p);
    return out;
  }

  // Limbs uniform below their bounds.
  Limbs random_element() const {
    const auto b = random_bytes<80>();
    Limbs l(limbs());
    for (int i = 0; i < limbs(); ++i) {
      std::uint64_t w = 0;
      for (int j = 0; j < 8; ++j) w |= static_cast<std::uint64_t>(b[8 * i + j]) << (8 * j);
      l[i] = w % bound(i);
    }
    return l;
  }

  // Every edge element paired with every other, then random ones.
  std::vector<std::pair<Limbs, Limbs>> operand_pairs() const {
    std::vector<std::pair<Limbs, Limbs>> pairs;
    const auto edges = edge_elements();
    for (const Limbs& a : edges)
      for (const Limbs& b : edges) pairs.emplace_back(a, b);
    for (int i = 0; i < 2000; ++i) pairs.emplace_back(random_element(), random_element());
    return pairs;
  }
};

struct Probe {
  backend::vector::FieldProbeResult r;
  int limbs;
  Bytes bytes(int lane) const {
    Bytes b;
    std::copy_n(r.bytes + 32 * lane, 32, b.begin());
    return b;
  }
  Limbs limbs_of(int lane) const { return Limbs(r.limbs + limbs * lane, r.limbs + limbs * (lane + 1)); }
};

// One operation on the lanes' pairs pairs[at + j] (wrapping around).
Probe probe(const Layout& f, FieldProbeOp op, const std::vector<std::pair<Limbs, Limbs>>& pairs, std::size_t at,
            unsigned k = 0) {
  std::uint64_t x[backend::vector::kMaxLanes * backend::vector::kMaxLimbs] = {};
  std::uint64_t y[backend::vector::kMaxLanes * backend::vector::kMaxLimbs] = {};
  for (int j = 0; j < f.lanes(); ++j) {
    const auto& [a, b] = pairs[(at + j) % pairs.size()];
    std::copy(a.begin(), a.end(), x + f.limbs() * j);
    std::copy(b.begin(), b.end(), y + f.limbs() * j);
  }
  Probe p{{}, f.limbs()};
  f.field.kernels->field_probe(op, x, y, k, &p.r);
  return p;
}

struct FieldCase {
  const char* name;
  FieldProbeOp op;
  unsigned k;
  FieldElement (*serial)(const FieldElement&, const FieldElement&);
};

using E = const FieldElement&;
const FieldCase kFieldCases[] = {
    {"add", FieldProbeOp::kAdd, 0, [](E a, E b) { return (a + b).reduced(); }},
    {"sub", FieldProbeOp::kSub, 0, [](E a, E b) { return a - b; }},
    {"neg", FieldProbeOp::kNeg, 0, [](E a, E) { return -a; }},
    {"mul", FieldProbeOp::kMul, 0, [](E a, E b) { return a * b; }},
    {"square", FieldProbeOp::kSquare, 0, [](E a, E) { return a.square(); }},
    {"mul2", FieldProbeOp::kMul2, 0, [](E a, E b) { return ((a * b) + (a * b)).reduced(); }},
    {"square2", FieldProbeOp::kSquare2, 0, [](E a, E) { return a.square2().reduced(); }},
    {"wide_sum", FieldProbeOp::kWideSum, 0, [](E a, E b) { return ((a * b) + (a * b) + b.square()).reduced(); }},
    {"wide_diff", FieldProbeOp::kWideDiff, 0, [](E a, E b) { return a * b - a.square2(); }},
    {"wide_from_narrow", FieldProbeOp::kWideFromNarrow, 0, [](E a, E b) { return b - ((a * b) + (a * b)).reduced(); }},
    {"pow2k_1", FieldProbeOp::kPow2k, 1, [](E a, E) { return a.pow2k(1); }},
    {"pow2k_7", FieldProbeOp::kPow2k, 7, [](E a, E) { return a.pow2k(7); }},
    {"invert", FieldProbeOp::kInvert, 0, [](E a, E) { return invert(a); }},
    {"pow_p58", FieldProbeOp::kPowP58, 0, [](E a, E) { return pow_p58(a); }},
    {"canonical", FieldProbeOp::kIdentity, 0, [](E a, E) { return a; }},
    {"select_0x5a", FieldProbeOp::kSelect, 0x5a, nullptr},
    {"select_0xa5", FieldProbeOp::kSelect, 0xa5, nullptr},
};

class LaneFieldTest : public testing::SodiumTest {
 protected:
  void SetUp() override {
    if (!field().usable()) GTEST_SKIP() << "this processor (or OS) lacks " << field().name << "; lane field not run";
  }
  virtual const LaneField& field() const = 0;
  Layout layout() const { return {field()}; }
};

class LaneFieldOpTest : public LaneFieldTest,
                        public ::testing::WithParamInterface<std::tuple<LaneField, FieldCase>> {
 protected:
  const LaneField& field() const override { return std::get<0>(GetParam()); }
};

TEST_P(LaneFieldOpTest, MatchesPortableFieldWithinLimbBounds) {
  const FieldCase& c = std::get<1>(GetParam());
  const Layout f = layout();
  const auto pairs = f.operand_pairs();
  const bool slow = c.op == FieldProbeOp::kInvert || c.op == FieldProbeOp::kPowP58;
  const std::size_t count = slow ? 400 : pairs.size();
  for (std::size_t at = 0; at < count; at += f.lanes()) {
    const Probe p = probe(f, c.op, pairs, at, c.k);
    for (int j = 0; j < f.lanes(); ++j) {
      const auto& [a, b] = pairs[(at + j) % pairs.size()];
      const FieldElement x = f.to_portable(a), y = f.to_portable(b);
      const FieldElement expected =
          c.serial ? c.serial(x, y) : conditional_select<FieldElement>(x, y, Choice::from_bit((c.k >> j) & 1));
      ASSERT_EQ(p.bytes(j), expected.to_bytes()) << c.name << " lane " << j << " pair " << at + j;
      // The lane result itself (not only its encoding) is the portable value,
      // and it may feed the next operation.
      const Limbs l = p.limbs_of(j);
      ASSERT_EQ(f.to_portable(l).to_bytes(), expected.to_bytes()) << c.name;
      for (int i = 0; i < f.limbs(); ++i) ASSERT_LT(l[i], f.bound(i)) << c.name << " lane " << j << " limb " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, LaneFieldOpTest, ::testing::Combine(::testing::ValuesIn(kLaneFields),
                                                                  ::testing::ValuesIn(kFieldCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

class LaneFieldEachTest : public LaneFieldTest, public ::testing::WithParamInterface<LaneField> {
 protected:
  const LaneField& field() const override { return GetParam(); }
};

TEST_P(LaneFieldEachTest, CanonicalLimbsAreBelowTheirRadix) {
  // The encoding is packed from these limbs; a limb at its radix would spill
  // into the next one's bits.
  const Layout f = layout();
  std::vector<std::pair<Limbs, Limbs>> pairs;
  for (const Limbs& e : f.edge_elements()) pairs.emplace_back(e, e);
  for (std::size_t at = 0; at < pairs.size(); at += f.lanes()) {
    const Probe p = probe(f, FieldProbeOp::kIdentity, pairs, at);
    for (int j = 0; j < f.lanes(); ++j) {
      const Limbs l = p.limbs_of(j);
      for (int i = 0; i < f.limbs(); ++i) ASSERT_LT(l[i], f.radix(i)) << "element " << at + j << " limb " << i;
      EXPECT_EQ(f.from_bytes(p.bytes(j)), l) << "element " << at + j;
    }
  }
}

TEST_P(LaneFieldEachTest, MasksMatchPortableChoices) {
  // Pairs that are equal in value but not in limbs (x, x + p) exercise ct_eq
  // and is_zero beyond limb comparison.
  const Layout f = layout();
  auto pairs = f.operand_pairs();
  for (int i = 0; i < 200; ++i) {
    Limbs x = f.random_element();
    for (int l = 0; l < f.limbs(); ++l) x[l] %= f.radix(l) / 2;
    Limbs x_plus_p = x;
    for (int l = 0; l < f.limbs(); ++l) x_plus_p[l] += f.radix(l) - 1;
    x_plus_p[0] -= 18;
    pairs.emplace_back(x, x_plus_p);
  }
  // Pairs apart in one limb only, and elements with one non-zero limb: a
  // comparison that left out a limb would call them equal, or zero.
  for (int l = 0; l < f.limbs(); ++l) {
    Limbs x = f.random_element(), single(f.limbs(), 0);
    for (int k = 0; k < f.limbs(); ++k) x[k] %= f.radix(k) / 2;
    Limbs y = x;
    y[l] += 1;
    single[l] = 1;
    pairs.emplace_back(x, y);
    pairs.emplace_back(single, single);
  }
  for (std::size_t at = 0; at < pairs.size(); at += f.lanes()) {
    const Probe eq = probe(f, FieldProbeOp::kCtEq, pairs, at);
    const Probe zero = probe(f, FieldProbeOp::kIsZero, pairs, at);
    const Probe neg = probe(f, FieldProbeOp::kIsNegative, pairs, at);
    const Probe sqrt = probe(f, FieldProbeOp::kSqrtRatioI, pairs, at);
    for (int j = 0; j < f.lanes(); ++j) {
      const auto& [a, b] = pairs[(at + j) % pairs.size()];
      const FieldElement x = f.to_portable(a), y = f.to_portable(b);
      EXPECT_EQ(eq.r.flag[j], x.ct_eq(y).value) << "ct_eq pair " << at + j;
      EXPECT_EQ(zero.r.flag[j], x.is_zero().value) << "is_zero pair " << at + j;
      EXPECT_EQ(neg.r.flag[j], x.is_negative().value) << "is_negative pair " << at + j;
      const auto [was_square, root] = sqrt_ratio_i(x, y);
      EXPECT_EQ(sqrt.r.flag[j], was_square.value) << "sqrt_ratio_i pair " << at + j;
      EXPECT_EQ(sqrt.bytes(j), root.to_bytes()) << "sqrt_ratio_i pair " << at + j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryLaneField, LaneFieldEachTest, ::testing::ValuesIn(kLaneFields),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorlinde::curve
