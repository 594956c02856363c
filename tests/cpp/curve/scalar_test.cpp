#include <gtest/gtest.h>

#include "curve/scalar.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

using testing::hex;
using testing::random_bytes;

class ScalarReduce : public testing::SodiumTest {};

// libsodium's crypto_core_ed25519_scalar_reduce is the oracle for mod-l reduction.
std::array<std::uint8_t, 32> sodium_reduce(const std::array<std::uint8_t, 64>& wide) {
  std::array<std::uint8_t, 32> out;
  crypto_core_ed25519_scalar_reduce(out.data(), wide.data());
  return out;
}

TEST_F(ScalarReduce, WideMatchesLibsodium) {
  for (int i = 0; i < 2000; ++i) {
    const auto wide = random_bytes<64>();
    EXPECT_EQ(Scalar::from_bytes_mod_order_wide(wide).to_bytes(), sodium_reduce(wide));
  }
}

TEST_F(ScalarReduce, WideEdgeInputs) {
  const std::array<std::uint8_t, 32> l = hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  std::array<std::uint8_t, 64> all_ones;
  all_ones.fill(0xff);
  std::array<std::uint8_t, 64> just_l{}, l_minus_1{}, l_high{};
  std::copy(l.begin(), l.end(), just_l.begin());
  l_minus_1 = just_l;
  l_minus_1[0] -= 1;
  std::copy(l.begin(), l.end(), l_high.begin() + 32);  // l 2^256
  for (const auto& wide : {all_ones, just_l, l_minus_1, l_high, std::array<std::uint8_t, 64>{}})
    EXPECT_EQ(Scalar::from_bytes_mod_order_wide(wide).to_bytes(), sodium_reduce(wide));
  const std::array<std::uint8_t, 32> zero{};
  EXPECT_EQ(Scalar::from_bytes_mod_order_wide(just_l).to_bytes(), zero);
}

TEST(Scalar, FromBitsClearsBit255Only) {
  std::array<std::uint8_t, 32> b;
  b.fill(0xff);
  auto expected = b;
  expected[31] = 0x7f;
  EXPECT_EQ(Scalar::from_bits(b).to_bytes(), expected);  // 2^255 - 1 > l stays unreduced
}

// Undo the recoding nibble by nibble with a running carry and require the
// original bytes back; also checks the digit ranges.
void expect_radix16_reconstructs(const std::array<std::uint8_t, 32>& bytes) {
  const auto digits = Scalar::from_bits(bytes).as_radix_16();
  int carry = 0;
  for (int i = 0; i < 64; ++i) {
    EXPECT_GE(digits[i], -8);
    EXPECT_LE(digits[i], i == 63 ? 8 : 7);
    const int v = digits[i] + carry;
    const int nibble = ((v % 16) + 16) % 16;
    carry = (v - nibble) / 16;
    const int original = (i % 2 == 0) ? (bytes[i / 2] & 15) : (bytes[i / 2] >> 4);
    ASSERT_EQ(nibble, original) << "digit " << i;
  }
  EXPECT_EQ(carry, 0);
}

TEST(Scalar, Radix16DigitsReconstructTheInteger) {
  std::array<std::uint8_t, 32> max;
  max.fill(0xff);
  max[31] = 0x7f;  // 2^255 - 1: top digit becomes 8
  expect_radix16_reconstructs(max);
  std::array<std::uint8_t, 32> eights;
  eights.fill(0x88);
  eights[31] = 0x78;
  expect_radix16_reconstructs(eights);
  expect_radix16_reconstructs(std::array<std::uint8_t, 32>{});
  for (int i = 0; i < 1000; ++i) {
    auto b = random_bytes<32>();
    b[31] &= 0x7f;
    expect_radix16_reconstructs(b);
  }
}

// The same for radix 2^W: undo the recoding digit by digit with a running
// carry and compare each W-bit group with the original bits read one at a
// time; checks the ranges too (the last digit in [0, 2^(W-1)]).
template <int W>
void expect_radix_2w_reconstructs(const std::array<std::uint8_t, 32>& bytes) {
  const auto digits = Scalar::from_bits(bytes).as_radix_2w<W>();
  const int half = 1 << (W - 1), last = static_cast<int>(digits.size()) - 1;
  int carry = 0;
  for (int i = 0; i <= last; ++i) {
    EXPECT_GE(digits[i], i == last ? 0 : -half) << "digit " << i;
    EXPECT_LE(digits[i], i == last ? half : half - 1) << "digit " << i;
    const int v = digits[i] + carry;
    const int group = ((v % (1 << W)) + (1 << W)) % (1 << W);
    carry = (v - group) >> W;
    int original = 0;
    for (int b = 0; b < W; ++b) {
      const int bit = W * i + b;
      if (bit < 256) original |= ((bytes[bit / 8] >> (bit % 8)) & 1) << b;
    }
    ASSERT_EQ(group, original) << "digit " << i;
  }
  EXPECT_EQ(carry, 0);
}

template <int W>
void expect_radix_2w_cases() {
  std::array<std::uint8_t, 32> max, zero{}, halves{};
  max.fill(0xff);
  max[31] = 0x7f;  // 2^255 - 1: the last digit takes the carry
  // Every group 2^(W-1): each recentres to -2^(W-1) with a carry, which the
  // next group turns into 2^(W-1) + 1.
  for (int bit = W - 1; bit < 255; bit += W) halves[bit / 8] |= static_cast<std::uint8_t>(1 << (bit % 8));
  for (const auto& b : {max, zero, halves}) expect_radix_2w_reconstructs<W>(b);
  for (int i = 0; i < 1000; ++i) {
    auto b = random_bytes<32>();
    b[31] &= 0x7f;
    expect_radix_2w_reconstructs<W>(b);
  }
}

TEST(Scalar, Radix32And64DigitsReconstructTheInteger) {
  expect_radix_2w_cases<5>();
  expect_radix_2w_cases<6>();
}

}  // namespace
}  // namespace vorlinde::curve
