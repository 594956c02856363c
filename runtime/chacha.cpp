#include "runtime/chacha.hpp"

#include <bit>
#include <cstring>

namespace vorlinde::runtime {

namespace {

inline std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Four blocks are computed side by side, one vector per state word with one
// block per lane, so every quarter-round step is a single vector operation.
constexpr std::size_t lanes = 4;
typedef std::uint32_t Vec __attribute__((vector_size(16)));

template <int c>
inline Vec rotl(Vec v) {
  return (v << c) | (v >> (32 - c));
}

inline void quarter_round(Vec& a, Vec& b, Vec& c, Vec& d) {
  a += b; d = rotl<16>(d ^ a);
  c += d; b = rotl<12>(b ^ c);
  a += b; d = rotl<8>(d ^ a);
  c += d; b = rotl<7>(b ^ c);
}

// `count` (1..lanes) blocks with counters state[12], state[12] + 1, ...
void blocks_wide(const ChaChaState& state, unsigned rounds, std::uint8_t* out, std::size_t count) {
  Vec in[16];
  for (std::size_t w = 0; w < 16; ++w) in[w] = Vec{} + state[w];
  in[12] += Vec{0, 1, 2, 3};
  Vec x[16];
  for (std::size_t w = 0; w < 16; ++w) x[w] = in[w];
  for (unsigned r = 0; r < rounds; r += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (std::size_t w = 0; w < 16; ++w) x[w] += in[w];
  if constexpr (std::endian::native == std::endian::little) {
    // Words w..w+3 of the four blocks, transposed so that each block's four
    // words are one vector, stored 16 bytes at a time.
    for (std::size_t w = 0; w < 16; w += 4) {
      const Vec lo01 = __builtin_shufflevector(x[w], x[w + 1], 0, 4, 1, 5);
      const Vec lo23 = __builtin_shufflevector(x[w + 2], x[w + 3], 0, 4, 1, 5);
      const Vec hi01 = __builtin_shufflevector(x[w], x[w + 1], 2, 6, 3, 7);
      const Vec hi23 = __builtin_shufflevector(x[w + 2], x[w + 3], 2, 6, 3, 7);
      const Vec block[lanes] = {
          __builtin_shufflevector(lo01, lo23, 0, 1, 4, 5),
          __builtin_shufflevector(lo01, lo23, 2, 3, 6, 7),
          __builtin_shufflevector(hi01, hi23, 0, 1, 4, 5),
          __builtin_shufflevector(hi01, hi23, 2, 3, 6, 7),
      };
      for (std::size_t l = 0; l < count; ++l) std::memcpy(out + l * chacha_block_bytes + 4 * w, &block[l], sizeof(Vec));
    }
  } else {
    for (std::size_t l = 0; l < count; ++l)
      for (std::size_t w = 0; w < 16; ++w) store_le32(out + l * chacha_block_bytes + 4 * w, x[w][l]);
  }
}

}  // namespace

ChaChaState chacha_state(std::span<const std::uint8_t, 32> key, std::uint32_t counter,
                         std::span<const std::uint8_t, 12> nonce) {
  ChaChaState s{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (std::size_t i = 0; i < 8; ++i) s[4 + i] = load_le32(key.data() + 4 * i);
  s[12] = counter;
  for (std::size_t i = 0; i < 3; ++i) s[13 + i] = load_le32(nonce.data() + 4 * i);
  return s;
}

void chacha_blocks(ChaChaState& state, unsigned rounds, std::span<std::uint8_t> out) {
  std::size_t blocks = out.size() / chacha_block_bytes;
  std::uint8_t* p = out.data();
  while (blocks > 0) {
    std::size_t count = blocks < lanes ? blocks : lanes;
    blocks_wide(state, rounds, p, count);
    state[12] += static_cast<std::uint32_t>(count);
    p += count * chacha_block_bytes;
    blocks -= count;
  }
}

}  // namespace vorlinde::runtime
