#pragma once
// The ChaCha block function (RFC 8439, section 2.3) with the number of rounds
// as a parameter: 20 for the RFC cipher, 12 for the per-thread generator.
//
// State layout (16 little-endian words): 4 constants "expand 32-byte k",
// 8 key words, word 12 the block counter, words 13..15 the nonce.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorlinde::runtime {

inline constexpr std::size_t chacha_block_bytes = 64;

using ChaChaState = std::array<std::uint32_t, 16>;

// The initial state for a 32-byte key, a block counter and a 12-byte nonce.
ChaChaState chacha_state(std::span<const std::uint8_t, 32> key, std::uint32_t counter,
                         std::span<const std::uint8_t, 12> nonce);

// Writes out.size() / 64 consecutive keystream blocks, starting at the counter
// in state[12], and advances state[12] past them. `rounds` must be even.
// out.size() must be a multiple of 64.
void chacha_blocks(ChaChaState& state, unsigned rounds, std::span<std::uint8_t> out);

}  // namespace vorlinde::runtime
