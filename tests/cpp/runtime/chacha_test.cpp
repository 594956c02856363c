#include "runtime/chacha.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <vector>

namespace vorlinde::runtime {
namespace {

std::array<std::uint8_t, 32> counting_key() {
  std::array<std::uint8_t, 32> key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  return key;
}

// RFC 8439, section 2.3.2: key 00..1f, nonce 000000090000004a00000000, counter 1.
TEST(ChaCha, Rfc8439BlockVector) {
  const std::array<std::uint8_t, 12> nonce{0, 0, 0, 0x09, 0, 0, 0, 0x4a, 0, 0, 0, 0};
  const std::array<std::uint8_t, 64> expected{
      0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3, 0x20, 0x71, 0xc4,
      0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22, 0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e,
      0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa, 0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2,
      0xb5, 0x12, 0x9c, 0xd1, 0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
  auto key = counting_key();
  ChaChaState state = chacha_state(key, 1, nonce);
  std::array<std::uint8_t, 64> block{};
  chacha_blocks(state, 20, block);
  EXPECT_EQ(block, expected);
  EXPECT_EQ(state[12], 2u);
}

// Many blocks in one call (crossing the side-by-side lane groups, with a
// partial last group) against libsodium's ChaCha20 (IETF) keystream.
TEST(ChaCha, MultiBlockMatchesLibsodium) {
  ASSERT_GE(sodium_init(), 0);
  auto key = counting_key();
  const std::array<std::uint8_t, 12> nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (std::size_t blocks : {1u, 3u, 4u, 5u, 11u}) {
    std::vector<std::uint8_t> expected(blocks * 64, 0);
    crypto_stream_chacha20_ietf_xor_ic(expected.data(), expected.data(), expected.size(), nonce.data(), 7,
                                       key.data());
    ChaChaState state = chacha_state(key, 7, nonce);
    std::vector<std::uint8_t> got(blocks * 64);
    chacha_blocks(state, 20, got);
    EXPECT_EQ(got, expected) << blocks << " blocks";
    EXPECT_EQ(state[12], 7 + blocks);
  }
}

}  // namespace
}  // namespace vorlinde::runtime
