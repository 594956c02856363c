// The AVX-512 IFMA kernels against the portable code, bit for bit: the
// portable field, points, tables and Elligator maps are the oracle, and
// results are compared by their canonical or compressed encodings.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "curve/backend/ifma/field_probe.hpp"
#include "curve/backend/ifma/kernel.hpp"
#include "curve/edwards.hpp"
#include "src/point_conversion.hpp"
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

// ---- Points ---------------------------------------------------------------

ifma::PointLimbs to_limbs(const EdwardsPoint& p) {
  ifma::PointLimbs l;
  for (int i = 0; i < 5; ++i) l.X[i] = p.X.limbs()[i], l.Y[i] = p.Y.limbs()[i], l.Z[i] = p.Z.limbs()[i], l.T[i] = p.T.limbs()[i];
  return l;
}

EdwardsPoint from_limbs(const ifma::PointLimbs& l) {
  for (int i = 0; i < 5; ++i) {
    EXPECT_LT(l.X[i], kLimbBound);
    EXPECT_LT(l.Y[i], kLimbBound);
    EXPECT_LT(l.Z[i], kLimbBound);
    EXPECT_LT(l.T[i], kLimbBound);
  }
  auto f = [](const std::uint64_t* v) { return FieldElement(Limbs{v[0], v[1], v[2], v[3], v[4]}); };
  return {f(l.X), f(l.Y), f(l.Z), f(l.T)};
}

Bytes encode(const EdwardsPoint& p) { return p.compress().bytes; }

// A point of the full group (mixed order, its torsion part uniform) in a
// non-normalised representation (Z != 1).
EdwardsPoint random_point() {
  for (;;) {
    const auto p = CompressedEdwardsY{random_bytes<32>()}.decompress();
    if (p) return *p + ED25519_BASEPOINT_POINT;
  }
}

// The eight points of order dividing 8: j T for T of order 8, found as l P of
// random points P until 4 (l P) is not the identity.
std::vector<EdwardsPoint> torsion_points() {
  const Bytes l_bytes = testing::hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  const Scalar l = Scalar::from_bits(l_bytes);
  EdwardsPoint t;
  do {
    t = random_point() * l;
  } while (t.mul_by_pow_2(2) == EdwardsPoint::identity());
  std::vector<EdwardsPoint> out{EdwardsPoint::identity()};
  for (int j = 1; j < 8; ++j) out.push_back(out.back() + t);
  return out;
}

// Reduced scalars from libsodium and unreduced ones (any value below 2^255).
Scalar random_scalar(bool unreduced) {
  Bytes s = random_bytes<32>();
  if (unreduced) {
    s[31] = static_cast<std::uint8_t>(s[31] | 0x40) & 0x7f;  // k >= 2^254 > l
  } else {
    crypto_core_ed25519_scalar_random(s.data());
  }
  return Scalar::from_bits(s);
}

class IfmaLaneCountTest : public IfmaTest, public ::testing::WithParamInterface<int> {};

TEST_P(IfmaLaneCountTest, VariableBasePerPointAndSharedDigits) {
  const std::size_t n = GetParam();
  const auto torsion = torsion_points();
  std::vector<EdwardsPoint> points;
  std::vector<Scalar> scalars;
  for (std::size_t i = 0; i < n; ++i) {
    // Lanes alternate between mixed-order points and pure torsion points.
    points.push_back(i % 3 == 1 ? torsion[i % 8] : random_point());
    scalars.push_back(random_scalar(i % 2 == 0));
  }
  std::vector<ifma::PointLimbs> in, out(n + 1);
  for (const auto& p : points) in.push_back(to_limbs(p));
  std::vector<std::int8_t> digits;
  for (const auto& k : scalars) {
    const auto d = k.as_radix_16();
    digits.insert(digits.end(), d.begin(), d.end());
  }
  const ifma::PointLimbs sentinel = to_limbs(ED25519_BASEPOINT_POINT);
  out[n] = sentinel;
  ifma::variable_base(in.data(), digits.data(), 64, n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_EQ(encode(from_limbs(out[i])), encode(points[i] * scalars[i])) << "point " << i << " of " << n;
  ASSERT_EQ(encode(from_limbs(out[n])), encode(ED25519_BASEPOINT_POINT)) << "wrote beyond n";

  const Scalar shared = random_scalar(true);
  const auto d = shared.as_radix_16();
  ifma::variable_base(in.data(), d.data(), 0, n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_EQ(encode(from_limbs(out[i])), encode(points[i] * shared)) << "shared, point " << i << " of " << n;
}

std::vector<ifma::NielsLimbs> niels_limbs(const EdwardsBasepointTable& table) {
  std::vector<ifma::NielsLimbs> out;
  for (const auto& sub : table.tables)
    for (const auto& e : sub.entries) {
      ifma::NielsLimbs n;
      for (int i = 0; i < 5; ++i)
        n.y_plus_x[i] = e.y_plus_x.limbs()[i], n.y_minus_x[i] = e.y_minus_x.limbs()[i], n.xy2d[i] = e.xy2d.limbs()[i];
      out.push_back(n);
    }
  return out;
}

TEST_P(IfmaLaneCountTest, FixedBaseWithBasepointAndRuntimeTables) {
  const std::size_t n = GetParam();
  static const EdwardsBasepointTable runtime_table = EdwardsBasepointTable::create(random_point());
  for (const EdwardsBasepointTable* table : {&ED25519_BASEPOINT_TABLE, &runtime_table}) {
    std::vector<Scalar> scalars;
    std::vector<std::int8_t> digits;
    for (std::size_t i = 0; i < n; ++i) {
      scalars.push_back(random_scalar(i % 2 == 1));
      const auto d = scalars.back().as_radix_16();
      digits.insert(digits.end(), d.begin(), d.end());
    }
    const auto niels = niels_limbs(*table);
    std::vector<ifma::PointLimbs> out(n + 1);
    out[n] = to_limbs(ED25519_BASEPOINT_POINT);
    ifma::fixed_base(niels.data(), digits.data(), n, out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(encode(from_limbs(out[i])), encode(table->mul(scalars[i]))) << "point " << i << " of " << n;
    ASSERT_EQ(encode(from_limbs(out[n])), encode(ED25519_BASEPOINT_POINT)) << "wrote beyond n";
  }
}

TEST_P(IfmaLaneCountTest, DecompressWithOneBadEncodingPerPosition) {
  const std::size_t n = GetParam();
  std::vector<Bytes> encodings;
  for (std::size_t i = 0; i < n; ++i) encodings.push_back(encode(random_point()));
  // Every lane position once holds an encoding that is not a point (y = 2),
  // the others valid ones, some with y >= p or x = 0 with the sign bit set.
  Bytes bad{};
  bad[0] = 2;
  Bytes high_y = testing::hex<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");  // y = p + 1
  Bytes negative_zero_x = testing::hex<32>("0100000000000000000000000000000000000000000000000000000000000080");
  for (std::size_t position = 0; position < std::min<std::size_t>(n, 9); ++position) {
    std::vector<Bytes> in = encodings;
    in[position] = bad;
    if (n > 2) in[(position + 1) % n] = high_y;
    if (n > 3) in[(position + 2) % n] = negative_zero_x;
    std::vector<ifma::PointLimbs> out(n);
    std::vector<std::uint8_t> valid(n, 7);
    ifma::decompress(in[0].data(), n, out.data(), valid.data());
    for (std::size_t i = 0; i < n; ++i) {
      const auto expected = CompressedEdwardsY{in[i]}.decompress();
      ASSERT_EQ(valid[i], expected.has_value() ? 1 : 0) << "encoding " << i;
      const EdwardsPoint got = from_limbs(out[i]);
      if (expected) {
        ASSERT_EQ(encode(got), encode(*expected)) << "encoding " << i;
        ASSERT_EQ(got.Z.to_bytes(), FieldElement::one().to_bytes());
        ASSERT_EQ((got.X * got.Y).to_bytes(), got.T.to_bytes());
      } else {
        ASSERT_EQ(encode(got), encode(EdwardsPoint::identity()));
      }
    }
  }
}

TEST_P(IfmaLaneCountTest, ElligatorMapsBothWays) {
  const std::size_t n = GetParam();
  std::vector<Bytes> in;
  const Bytes p_bytes = testing::hex<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  for (std::size_t i = 0; i < n; ++i) {
    Bytes b = random_bytes<32>();
    if (i % 5 == 1) b = Bytes{};                    // r = 0
    if (i % 5 == 2) b = p_bytes;                    // r = p, read as 0
    if (i % 5 == 3) b[31] = 0xff;                   // r >= p with the sign bit
    in.push_back(b);
  }
  std::vector<ifma::PointLimbs> points(n);
  std::vector<std::uint8_t> on_curve(n, 7);
  ifma::uniform_bytes_to_point(in.empty() ? nullptr : in[0].data(), n, points.data(), on_curve.data());
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(on_curve[i], 1) << "input " << i;
    ASSERT_EQ(encode(from_limbs(points[i])), encode(uniform_bytes_to_point(in[i]).point)) << "input " << i;
  }

  // The inverse map on the forward images (each has a representative on some
  // branch), on random points, the identity, (0, -1) and the torsion points.
  const auto torsion = torsion_points();
  std::vector<EdwardsPoint> sources;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 4 == 0) sources.push_back(from_limbs(points[i]));
    else if (i % 4 == 1) sources.push_back(random_point());
    else sources.push_back(torsion[i % 8]);
  }
  std::vector<ifma::PointLimbs> limbs;
  for (const auto& p : sources) limbs.push_back(to_limbs(p));
  for (std::uint8_t first_branch : {0, 1}) {
    std::vector<std::uint8_t> branch(n), valid(n, 7);
    for (std::size_t i = 0; i < n; ++i) branch[i] = static_cast<std::uint8_t>((first_branch + i / 2) & 1);
    std::vector<std::uint8_t> out(32 * n);
    ifma::point_to_uniform_bytes(limbs.data(), branch.data(), n, out.data(), valid.data());
    for (std::size_t i = 0; i < n; ++i) {
      const auto expected = point_to_uniform_bytes(sources[i], Choice::from_bit(branch[i]));
      ASSERT_EQ(valid[i], expected.has_value() ? 1 : 0) << "point " << i;
      if (expected) {
        ASSERT_TRUE(std::equal(expected->begin(), expected->end(), out.begin() + 32 * i)) << "point " << i;
      }
    }
  }
}

TEST_P(IfmaLaneCountTest, CompressMatchesPortableEncodings) {
  const std::size_t n = GetParam();
  std::vector<EdwardsPoint> points;
  const auto torsion = torsion_points();
  for (std::size_t i = 0; i < n; ++i) points.push_back(i % 4 == 3 ? torsion[i % 8] : random_point());
  std::vector<ifma::PointLimbs> in;
  for (const auto& p : points) in.push_back(to_limbs(p));
  std::vector<std::uint8_t> out(32 * n + 1, 0xa5);
  ifma::compress(in.data(), n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_TRUE(std::equal(out.begin() + 32 * i, out.begin() + 32 * i + 32, encode(points[i]).begin())) << i;
  ASSERT_EQ(out[32 * n], 0xa5) << "wrote beyond n";
}

INSTANTIATE_TEST_SUITE_P(Lanes, IfmaLaneCountTest, ::testing::Range(0, 18));

TEST_F(IfmaTest, CompressAcrossInversionBlocksAndWithZeroZ) {
  // More points than one inversion covers, and one lane with Z = 0 (not a
  // point): it must encode as the portable code does (1/0 = 0) and must not
  // disturb the batch it shares an inversion with.
  const std::size_t n = 300;
  std::vector<EdwardsPoint> points;
  for (std::size_t i = 0; i < n; ++i) points.push_back(random_point());
  points[77].Z = FieldElement::zero();
  std::vector<ifma::PointLimbs> in;
  for (const auto& p : points) in.push_back(to_limbs(p));
  std::vector<std::uint8_t> out(32 * n);
  ifma::compress(in.data(), n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_TRUE(std::equal(out.begin() + 32 * i, out.begin() + 32 * i + 32, encode(points[i]).begin())) << i;
}

}  // namespace
}  // namespace vorlinde::curve
