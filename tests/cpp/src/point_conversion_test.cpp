// Uniform representatives: the one-exponentiation maps against the literal
// compositions (point_conversion_oracle.hpp), round trips over the full curve
// group including small-order components, the fixed edge strings, and the
// forward map against libsodium's crypto_core_ed25519_from_uniform.

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "curve/edwards.hpp"
#include "src/point_conversion.hpp"
#include "tests/cpp/curve/support.hpp"
#include "tests/cpp/src/point_conversion_oracle.hpp"

namespace vorlinde {
namespace {

using curve::Choice;
using curve::EdwardsPoint;
using curve::FieldElement;
using curve::Scalar;
using curve::testing::hex;
using curve::testing::random_bytes;

const Choice kBranches[] = {Choice::from_bit(0), Choice::from_bit(1)};

// p = 2^255 - 19, little-endian.
const Representative kP = hex<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");

// l, the prime order, as an unreduced scalar.
Scalar group_order() {
  return Scalar::from_bits(hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"));
}

// A point of order 8, found as l Q for points Q of the full group until one
// has 4 (l Q) != identity. Q comes from libsodium's compressed random bytes.
EdwardsPoint order_eight_point() {
  for (;;) {
    const auto q = curve::CompressedEdwardsY{random_bytes<32>()}.decompress();
    if (!q) continue;
    const EdwardsPoint t = *q * group_order();
    if (!(t.mul_by_pow_2(2) == EdwardsPoint::identity())) return t;
  }
}

class PointConversionTest : public curve::testing::SodiumTest {
 protected:
  static void SetUpTestSuite() {
    SodiumTest::SetUpTestSuite();
    const EdwardsPoint t = order_eight_point();
    torsion_.push_back(EdwardsPoint::identity());
    for (int k = 1; k < 8; ++k) torsion_.push_back(torsion_.back() + t);
  }

  // s G + T for a random s and a random point T of order dividing 8: uniform
  // over the whole group of order 8 l.
  static EdwardsPoint random_point() {
    const Scalar s = Scalar::from_bytes_mod_order_wide(random_bytes<64>());
    return curve::ED25519_BASEPOINT_TABLE * s + torsion_[randombytes_uniform(8)];
  }

  static std::vector<EdwardsPoint> sample_points(int random_count) {
    std::vector<EdwardsPoint> points = torsion_;
    for (const EdwardsPoint& t : torsion_) points.push_back(curve::ED25519_BASEPOINT_POINT + t);
    for (int i = 0; i < random_count; ++i) points.push_back(random_point());
    return points;
  }

  static std::vector<EdwardsPoint> torsion_;
};

std::vector<EdwardsPoint> PointConversionTest::torsion_;

bool below_p(const Representative& r) {
  return std::lexicographical_compare(r.rbegin(), r.rend(), kP.rbegin(), kP.rend());
}

TEST_F(PointConversionTest, FastMapToBytesAgreesWithLiteralComposition) {
  for (const EdwardsPoint& p : sample_points(3000)) {
    for (Choice branch : kBranches) {
      ASSERT_EQ(point_to_uniform_bytes(p, branch), oracle::point_to_uniform_bytes(p, branch));
    }
  }
}

TEST_F(PointConversionTest, FastMapToPointAgreesWithLiteralComposition) {
  std::vector<Representative> inputs = {Representative{}, kP, hex<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
                                        hex<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
                                        hex<32>("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"),
                                        hex<32>("0100000000000000000000000000000000000000000000000000000000000000")};
  for (int i = 0; i < 3000; ++i) inputs.push_back(random_bytes<32>());
  for (Representative bytes : inputs) {
    for (std::uint8_t top : {0x00, 0x80}) {
      bytes[31] = static_cast<std::uint8_t>((bytes[31] & 0x7f) | top);
      const EdwardsPoint fast = uniform_bytes_to_point(bytes);
      ASSERT_EQ(fast.compress(), oracle::uniform_bytes_to_point(bytes).compress());
      // The point is really on the curve: its encoding decodes to it.
      ASSERT_TRUE(fast.compress().decompress().has_value());
    }
  }
}

TEST_F(PointConversionTest, RepresentativesDecodeBackOnBothBranchesAndHaveTheStatedForm) {
  int represented = 0;
  for (const EdwardsPoint& p : sample_points(2000)) {
    std::set<Representative> seen;
    for (Choice branch : kBranches) {
      const std::optional<Representative> rep = point_to_uniform_bytes(p, branch);
      if (!rep) continue;
      ++represented;
      seen.insert(*rep);
      EXPECT_EQ(uniform_bytes_to_point(*rep), p);
      Representative low = *rep;
      low[31] &= 0x7f;
      EXPECT_EQ(low[0] & 1, 0);
      EXPECT_TRUE(below_p(low));
      EXPECT_EQ((*rep)[31] >> 7, p.compress().bytes[31] >> 7);
    }
    // Representability depends on u only, so both branches succeed or neither,
    // and the two preimages differ (r0 r1 = +-1/2 and +-1/2 is not a square).
    EXPECT_TRUE(seen.empty() || seen.size() == 2);
  }
  EXPECT_GT(represented, 0);
}

TEST_F(PointConversionTest, ElligatorDecodeIsARightInverseOfEncode) {
  for (const EdwardsPoint& p : sample_points(2000)) {
    const MontgomeryPoint u = to_montgomery(p);
    for (Choice branch : kBranches) {
      const auto r = elligator_decode(u, branch);
      if (r) {
        EXPECT_EQ(elligator_encode(*r), u);
      }
    }
  }
}

TEST_F(PointConversionTest, AboutHalfOfRandomPointsAreRepresentable) {
  // Binomial(4000, 1/2): 40 % and 60 % lie 12 standard deviations out.
  int present = 0;
  for (int i = 0; i < 4000; ++i) present += point_to_uniform_bytes(random_point()).has_value();
  EXPECT_GT(present, 1600);
  EXPECT_LT(present, 2400);
}

TEST_F(PointConversionTest, RandomBranchYieldsBothRepresentatives) {
  EdwardsPoint p;
  do p = random_point();
  while (!point_to_uniform_bytes(p, kBranches[0]));
  std::set<Representative> seen;
  for (int i = 0; i < 64; ++i) {
    const auto rep = point_to_uniform_bytes(p);
    ASSERT_TRUE(rep.has_value());
    seen.insert(*rep);
  }
  EXPECT_EQ(seen, (std::set<Representative>{*point_to_uniform_bytes(p, kBranches[0]),
                                            *point_to_uniform_bytes(p, kBranches[1])}));
}

TEST_F(PointConversionTest, IdentityAndOrderTwoPointHaveNoRepresentative) {
  const EdwardsPoint order_two = torsion_[4];
  ASSERT_EQ(order_two.compress(), curve::CompressedEdwardsY{
                                      hex<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")});
  for (Choice branch : kBranches) {
    EXPECT_FALSE(point_to_uniform_bytes(EdwardsPoint::identity(), branch));
    EXPECT_FALSE(point_to_uniform_bytes(order_two, branch));
  }
}

TEST_F(PointConversionTest, ZeroAndPDecodeToTheOrderTwoPointWhateverTheTopBit) {
  // r = 0 and r = p: x1 = -A, e = -A is not a square, so u = 0 and y = -1.
  const curve::CompressedEdwardsY order_two{hex<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")};
  for (Representative bytes : {Representative{}, kP}) {
    for (std::uint8_t top : {0x00, 0x80}) {
      bytes[31] = static_cast<std::uint8_t>((bytes[31] & 0x7f) | top);
      EXPECT_EQ(uniform_bytes_to_point(bytes).compress(), order_two);
    }
  }
}

TEST_F(PointConversionTest, TopBitSelectsTheSignOfX) {
  for (int i = 0; i < 500; ++i) {
    Representative bytes = random_bytes<32>();
    bytes[31] &= 0x7f;
    const EdwardsPoint p = uniform_bytes_to_point(bytes);
    bytes[31] |= 0x80;
    EXPECT_EQ(uniform_bytes_to_point(bytes), -p);
  }
}

// libsodium 1.0.18 crypto_core_ed25519_from_uniform(r): bit 255 of r is its x
// sign, the remaining bits are the field element; it runs Elligator 2 with
// the same non-square 2, decodes y = (u - 1)/(u + 1) with that sign and
// multiplies by the cofactor 8. With bits 254 and 255 clear, r is canonical
// and the sign is 0 for both, so its encoding must be that of 8 times ours,
// sign of x included.
TEST_F(PointConversionTest, CofactorMultipleAgreesWithLibsodiumFromUniform) {
  for (int i = 0; i < 4000; ++i) {
    Representative r = random_bytes<32>();
    r[31] &= 0x3f;
    Representative theirs;
    crypto_core_ed25519_from_uniform(theirs.data(), r.data());
    ASSERT_EQ(uniform_bytes_to_point(r).mul_by_cofactor().compress().bytes, theirs) << i;
  }
}

}  // namespace
}  // namespace vorlinde
