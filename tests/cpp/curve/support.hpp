#pragma once
// Helpers shared by the curve tests: hex literals and libsodium as an oracle.

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "curve/edwards.hpp"

namespace vorlinde::curve {

// Tests compare points as group elements; the library itself has no
// operator== (a caller publishing the answer declassifies it explicitly).
inline bool operator==(const EdwardsPoint& a, const EdwardsPoint& b) { return a.ct_eq(b).declassify(); }

}  // namespace vorlinde::curve

namespace vorlinde::curve::testing {

template <std::size_t N>
std::array<std::uint8_t, N> hex(std::string_view s) {
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(s.size(), 2 * N);
  auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
  for (std::size_t i = 0; i < N && 2 * i + 1 < s.size(); ++i) out[i] = nibble(s[2 * i]) << 4 | nibble(s[2 * i + 1]);
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> random_bytes() {
  std::array<std::uint8_t, N> out;
  randombytes_buf(out.data(), N);
  return out;
}

class SodiumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

}  // namespace vorlinde::curve::testing
