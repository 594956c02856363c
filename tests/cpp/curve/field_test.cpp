#include <gtest/gtest.h>

#include "curve/constants.hpp"
#include "curve/field.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

using testing::hex;
using testing::random_bytes;
using Bytes = std::array<std::uint8_t, 32>;

FieldElement fe(std::string_view h) { return FieldElement::from_bytes(hex<32>(h)); }
FieldElement random_fe() { return FieldElement::from_bytes(random_bytes<32>()); }

// Literal square-and-multiply over the bits of the exponent: the slow oracle
// for the addition chains.
FieldElement pow_slow(const FieldElement& x, const Bytes& exponent_le) {
  FieldElement r = FieldElement::one();
  for (int bit = 255; bit >= 0; --bit) {
    r = r.square();
    if ((exponent_le[bit / 8] >> (bit % 8)) & 1) r = r * x;
  }
  return r;
}

// p - 2 and (p - 1) / 2, little-endian.
const Bytes kPMinus2 = hex<32>("ebffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
const Bytes kPMinus1Half = hex<32>("f6ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff3f");

struct Encoding {
  const char* name;
  const char* in;
  const char* canonical;
};

class FieldEncoding : public ::testing::TestWithParam<Encoding> {};

TEST_P(FieldEncoding, ReducesBelowPAndIgnoresBit255) {
  EXPECT_EQ(fe(GetParam().in).to_bytes(), hex<32>(GetParam().canonical));
}

INSTANTIATE_TEST_SUITE_P(
    Field, FieldEncoding,
    ::testing::Values(
        Encoding{"p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                 "0000000000000000000000000000000000000000000000000000000000000000"},
        Encoding{"p_plus_1", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                 "0100000000000000000000000000000000000000000000000000000000000000"},
        Encoding{"two_255_minus_1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                 "1200000000000000000000000000000000000000000000000000000000000000"},
        Encoding{"p_minus_1", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                 "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        Encoding{"bit255_ignored", "0500000000000000000000000000000000000000000000000000000000000080",
                 "0500000000000000000000000000000000000000000000000000000000000000"},
        Encoding{"p_with_bit255", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
                 "0000000000000000000000000000000000000000000000000000000000000000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Field, RoundTripsCanonicalBytes) {
  for (int i = 0; i < 1000; ++i) {
    Bytes b = random_bytes<32>();
    b[31] &= 0x7f;
    if (b[31] == 0x7f) b[31] = 0x7e;  // keep below p
    EXPECT_EQ(FieldElement::from_bytes(b).to_bytes(), b);
  }
}

TEST(Field, RingIdentities) {
  for (int i = 0; i < 1000; ++i) {
    const FieldElement a = random_fe(), b = random_fe(), c = random_fe();
    EXPECT_EQ(((a + b) * (a - b)).to_bytes(), (a.square() - b.square()).to_bytes());
    EXPECT_EQ((a * (b + c)).to_bytes(), (a * b + a * c).to_bytes());
    EXPECT_EQ(a.square2().to_bytes(), (a * a + a * a).to_bytes());
    EXPECT_EQ(a.pow2k(5).to_bytes(), a.square().square().square().square().square().to_bytes());
    EXPECT_EQ((-a + a).to_bytes(), FieldElement::zero().to_bytes());
  }
}

// Every limb at the documented input maximum 2^54 - 1 must not overflow the
// 128-bit column sums: compare with the same values carried down first.
TEST(Field, MultiplicationAtLimbBound) {
  const std::uint64_t top = (std::uint64_t{1} << 54) - 1;
  const FieldElement big(FieldElement::Limbs{top, top, top, top, top});
  const FieldElement reduced = FieldElement::from_bytes(big.to_bytes());
  EXPECT_EQ((big * big).to_bytes(), (reduced * reduced).to_bytes());
  EXPECT_EQ(big.square().to_bytes(), (reduced * reduced).to_bytes());
  const FieldElement a = random_fe();
  EXPECT_EQ((big * a).to_bytes(), (reduced * a).to_bytes());
  EXPECT_EQ((a - big).to_bytes(), (a - reduced).to_bytes());
}

TEST(Field, InvertIsPowerPMinus2) {
  EXPECT_TRUE(invert(FieldElement::zero()).is_zero().declassify());
  for (int i = 0; i < 50; ++i) {
    const FieldElement a = random_fe();
    EXPECT_EQ(invert(a).to_bytes(), pow_slow(a, kPMinus2).to_bytes());
    EXPECT_EQ((a * invert(a)).to_bytes(), FieldElement::one().to_bytes());
  }
}

TEST(Field, PredicatesUseTheCanonicalValue) {
  EXPECT_TRUE(fe("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f").is_zero().declassify());
  EXPECT_FALSE(FieldElement::one().is_zero().declassify());
  // p + 1 is the residue 1: odd, hence negative, although the integer p + 1 is even.
  EXPECT_TRUE(fe("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f").is_negative().declassify());
  EXPECT_TRUE(fe("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")
                  .ct_eq(FieldElement::one()).declassify());
  EXPECT_FALSE((-FieldElement::one()).is_negative().declassify());  // p - 1 is even
}

struct RatioCase {
  const char* name;
  std::uint64_t u, v;
  bool was_square;  // then r^2 v = u, else r^2 v = i u (or r = 0 when v = 0)
};

class FieldSqrtRatio : public ::testing::TestWithParam<RatioCase> {};

TEST_P(FieldSqrtRatio, SmallCases) {
  const auto& c = GetParam();
  const FieldElement u(FieldElement::Limbs{c.u, 0, 0, 0, 0});
  const FieldElement v(FieldElement::Limbs{c.v, 0, 0, 0, 0});
  const auto [ok, r] = sqrt_ratio_i(u, v);
  EXPECT_EQ(ok.declassify(), c.was_square);
  EXPECT_FALSE(r.is_negative().declassify());
  if (c.v == 0) {
    EXPECT_TRUE(r.is_zero().declassify());
  } else {
    const FieldElement target = c.was_square ? u : SQRT_M1 * u;
    EXPECT_EQ((r.square() * v).to_bytes(), target.to_bytes());
  }
}

// RFC 9496 section 4.2: 0/0 and 0/v are (true, 0); u/0 is (false, 0);
// 2 is not a square mod p (p = 5 mod 8), so 2/1 gives sqrt(2 i).
INSTANTIATE_TEST_SUITE_P(Field, FieldSqrtRatio,
                         ::testing::Values(RatioCase{"zero_over_zero", 0, 0, true},
                                           RatioCase{"zero_over_v", 0, 7, true},
                                           RatioCase{"u_over_zero", 3, 0, false},
                                           RatioCase{"four_over_one", 4, 1, true},
                                           RatioCase{"one_over_four", 1, 4, true},
                                           RatioCase{"two_over_one", 2, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Field, SqrtRatioAgreesWithEulerCriterion) {
  for (int i = 0; i < 100; ++i) {
    const FieldElement u = random_fe(), v = random_fe();
    const auto [ok, r] = sqrt_ratio_i(u, v);
    // u/v is a square iff (u/v)^((p-1)/2) = 1.
    const bool square = pow_slow(u * invert(v), kPMinus1Half).ct_eq(FieldElement::one()).declassify();
    EXPECT_EQ(ok.declassify(), square);
    EXPECT_FALSE(r.is_negative().declassify());
    EXPECT_EQ((r.square() * v).to_bytes(), (square ? u : SQRT_M1 * u).to_bytes());
  }
}

}  // namespace
}  // namespace vorlinde::curve
