#include "curve/backend/serial/u64/field.hpp"

namespace vorlinde::curve::backend::serial::limbs51 {

std::array<std::uint8_t, 32> to_bytes(const Limbs& limbs) {
  Limbs l = weak_reduce(limbs);
  // Now value < 2^255 + 2^18 < 2p. q = 1 exactly when value >= p, i.e. when
  // value + 19 carries out of bit 255; then value - p = value + 19 - 2^255.
  std::uint64_t q = (l[0] + 19) >> 51;
  q = (l[1] + q) >> 51;
  q = (l[2] + q) >> 51;
  q = (l[3] + q) >> 51;
  q = (l[4] + q) >> 51;
  l[0] += 19 * q;
  l[1] += l[0] >> 51;
  l[0] &= kLow51;
  l[2] += l[1] >> 51;
  l[1] &= kLow51;
  l[3] += l[2] >> 51;
  l[2] &= kLow51;
  l[4] += l[3] >> 51;
  l[3] &= kLow51;
  l[4] &= kLow51;  // drops the 2^255 of value + 19 when q = 1

  const std::uint64_t w[4] = {l[0] | (l[1] << 51), (l[1] >> 13) | (l[2] << 38), (l[2] >> 26) | (l[3] << 25),
                              (l[3] >> 39) | (l[4] << 12)};
  std::array<std::uint8_t, 32> out;
  for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(w[i / 8] >> (8 * (i % 8)));
  return out;
}

}  // namespace vorlinde::curve::backend::serial::limbs51
