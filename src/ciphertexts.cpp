#include "src/ciphertexts.hpp"

#include <algorithm>
#include <optional>

#include "curve/scalar.hpp"
#include "okvs/bits.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde {

static_assert(okvs::Bits<Ciphertext>);
static_assert(okvs::BitsTraits<Ciphertext>::byte_length == Ciphertext::kSize);

namespace {

thread_local std::uint64_t zero_attempts = 0;

}  // namespace

Ciphertext Ciphertext::zero(const curve::EdwardsBasepointTable& public_key) {
  // Retrying on an absent representative leaks only that this r was
  // discarded; the r that is kept is independent of it.
  for (;;) {
    ++zero_attempts;
    const curve::Scalar r = curve::Scalar::random();
    const std::optional<Representative> c1 = point_to_uniform_bytes(curve::ED25519_BASEPOINT_TABLE * r);
    if (!c1) continue;
    const std::optional<Representative> c2 = point_to_uniform_bytes(public_key * r);
    if (!c2) continue;
    return {*c1, *c2};
  }
}

std::uint64_t Ciphertext::zero_attempts_on_this_thread() { return zero_attempts; }

Ciphertext Ciphertext::random() {
  Ciphertext out;
  runtime::fill_random(out.c1);
  runtime::fill_random(out.c2);
  return out;
}

std::array<std::uint8_t, Ciphertext::kSize> Ciphertext::to_bytes() const {
  std::array<std::uint8_t, kSize> out;
  std::copy(c2.begin(), c2.end(), std::copy(c1.begin(), c1.end(), out.begin()));
  return out;
}

Ciphertext Ciphertext::from_bytes(std::span<const std::uint8_t> chunk) {
  constexpr std::size_t half = kSize / 2;
  if (chunk.size() < half) throw runtime::Failure(range_end_message(half, chunk.size()));
  if (chunk.size() < kSize) throw runtime::Failure(range_end_message(kSize, chunk.size()));
  Ciphertext out;
  std::copy_n(chunk.begin(), half, out.c1.begin());
  std::copy_n(chunk.begin() + half, half, out.c2.begin());
  return out;
}

WideCiphertext Ciphertext::add_and_randomize(const Ciphertext& other, const curve::EdwardsPoint& extra) const {
  const curve::Scalar s = curve::Scalar::random();
  const curve::EdwardsPoint a1 = uniform_bytes_to_point(c1);
  const curve::EdwardsPoint a2 = uniform_bytes_to_point(c2);
  const curve::EdwardsPoint b1 = uniform_bytes_to_point(other.c1);
  const curve::EdwardsPoint b2 = uniform_bytes_to_point(other.c2);
  return WideCiphertext::from_points(
      {a1 * s, b1 * s, curve::ED25519_BASEPOINT_TABLE * s, ((a2 + b2) + extra) * s});
}

}  // namespace vorlinde
