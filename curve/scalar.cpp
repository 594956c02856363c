#include "curve/scalar.hpp"

#include <cstring>

#include "curve/choice.hpp"

namespace vorlinde::curve {
namespace {

// Integers mod l in five 52-bit limbs (the last one 48 bits when reduced).
using Limbs52 = std::array<std::uint64_t, 5>;
using u128 = unsigned __int128;
constexpr std::uint64_t kLow52 = (std::uint64_t{1} << 52) - 1;

constexpr Limbs52 kL = {0x2631a5cf5d3ed, 0xdea2f79cd6581, 0x000000014def9, 0, 0x0000100000000000};
// -1/l mod 2^52
constexpr std::uint64_t kLFactor = 0x51da312547e1b;
// R = 2^260 mod l and R^2 mod l, the Montgomery radix and its square.
constexpr Limbs52 kR = {0xf48bd6721e6ed, 0x3bab5ac67e45a, 0xfffffeb35e51b, 0xfffffffffffff, 0x00000fffffffffff};
constexpr Limbs52 kRR = {0x9d265e952d13b, 0xd63c715bea69f, 0x5be65cb687604, 0x3dceec73d217f, 0x000009411b7c309a};

// a - b, plus l when that is negative: for limbs < 2^52 and a - b in [-l, l)
// the result is a - b mod l in [0, l).
Limbs52 sub(const Limbs52& a, const Limbs52& b) {
  Limbs52 d{};
  std::uint64_t borrow = 0;
  for (int i = 0; i < 5; ++i) {
    borrow = a[i] - (b[i] + (borrow >> 63));
    d[i] = borrow & kLow52;
  }
  const std::uint64_t underflow = Choice::from_bit(static_cast<std::uint8_t>(borrow >> 63)).mask64();
  std::uint64_t carry = 0;
  for (int i = 0; i < 5; ++i) {
    carry = (carry >> 52) + d[i] + (kL[i] & underflow);
    d[i] = carry & kLow52;
  }
  return d;
}

// (a + b) mod l for a, b < l.
Limbs52 add(const Limbs52& a, const Limbs52& b) {
  Limbs52 s{};
  std::uint64_t carry = 0;
  for (int i = 0; i < 5; ++i) {
    carry = a[i] + b[i] + (carry >> 52);
    s[i] = carry & kLow52;
  }
  return sub(s, kL);
}

std::array<u128, 9> mul_wide(const Limbs52& a, const Limbs52& b) {
  std::array<u128, 9> z{};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) z[i + j] += static_cast<u128>(a[i]) * b[j];
  return z;
}

// z / 2^260 mod l for z < 2^260 l: adds the multiple n l of l that clears the
// low 260 bits, n_i = z_i * (-1/l) mod 2^52 limb by limb.
Limbs52 montgomery_reduce(const std::array<u128, 9>& z) {
  auto m = [](std::uint64_t s, std::uint64_t t) { return static_cast<u128>(s) * t; };
  auto part1 = [&](u128 sum, std::uint64_t& n) {
    n = (static_cast<std::uint64_t>(sum) * kLFactor) & kLow52;
    return (sum + m(n, kL[0])) >> 52;
  };
  auto part2 = [](u128 sum, std::uint64_t& r) {
    r = static_cast<std::uint64_t>(sum) & kLow52;
    return sum >> 52;
  };
  std::uint64_t n0, n1, n2, n3, n4;
  u128 c = part1(z[0], n0);
  c = part1(c + z[1] + m(n0, kL[1]), n1);
  c = part1(c + z[2] + m(n0, kL[2]) + m(n1, kL[1]), n2);
  c = part1(c + z[3] + m(n1, kL[2]) + m(n2, kL[1]), n3);
  c = part1(c + z[4] + m(n0, kL[4]) + m(n2, kL[2]) + m(n3, kL[1]), n4);
  Limbs52 r{};
  c = part2(c + z[5] + m(n1, kL[4]) + m(n3, kL[2]) + m(n4, kL[1]), r[0]);
  c = part2(c + z[6] + m(n2, kL[4]) + m(n4, kL[2]), r[1]);
  c = part2(c + z[7] + m(n3, kL[4]), r[2]);
  c = part2(c + z[8] + m(n4, kL[4]), r[3]);
  r[4] = static_cast<std::uint64_t>(c);
  // r < 2l here; one conditional subtraction makes it canonical.
  return sub(r, kL);
}

Limbs52 montgomery_mul(const Limbs52& a, const Limbs52& b) { return montgomery_reduce(mul_wide(a, b)); }

std::uint64_t load64(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint64_t w = 0;
  for (int i = 0; i < 8; ++i) w |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
  return w;
}

void pack(const Limbs52& l, std::array<std::uint8_t, 32>& out) {
  const std::uint64_t w[4] = {l[0] | (l[1] << 52), (l[1] >> 12) | (l[2] << 40), (l[2] >> 24) | (l[3] << 28),
                              (l[3] >> 36) | (l[4] << 16)};
  for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(w[i / 8] >> (8 * (i % 8)));
}

}  // namespace

Scalar Scalar::from_bytes_mod_order_wide(std::span<const std::uint8_t, 64> bytes) {
  std::uint64_t w[8];
  for (int i = 0; i < 8; ++i) w[i] = load64(bytes, 8 * i);
  // The low and high 260 bits of the input, as lo + 2^260 hi.
  const Limbs52 lo = {w[0] & kLow52, ((w[0] >> 52) | (w[1] << 12)) & kLow52, ((w[1] >> 40) | (w[2] << 24)) & kLow52,
                      ((w[2] >> 28) | (w[3] << 36)) & kLow52, ((w[3] >> 16) | (w[4] << 48)) & kLow52};
  const Limbs52 hi = {(w[4] >> 4) & kLow52, ((w[4] >> 56) | (w[5] << 8)) & kLow52,
                      ((w[5] >> 44) | (w[6] << 20)) & kLow52, ((w[6] >> 32) | (w[7] << 32)) & kLow52, w[7] >> 20};
  // lo R / R = lo and hi R^2 / R = hi 2^260 (mod l).
  const Limbs52 sum = add(montgomery_mul(hi, kRR), montgomery_mul(lo, kR));
  Scalar s;
  pack(sum, s.bytes_);
  return s;
}

Scalar Scalar::from_bytes_mod_order(std::span<const std::uint8_t, 32> bytes) {
  runtime::Wiped<std::array<std::uint8_t, 64>> wide;
  for (int i = 0; i < 32; ++i) wide.get()[i] = bytes[i];
  return from_bytes_mod_order_wide(wide.get());
}

Scalar Scalar::from_bits(std::span<const std::uint8_t, 32> bytes) {
  Scalar s;
  for (int i = 0; i < 32; ++i) s.bytes_[i] = bytes[i];
  s.bytes_[31] &= 0x7f;
  return s;
}

std::array<std::int8_t, 64> Scalar::as_radix_16() const {
  std::array<std::int8_t, 64> digits{};
  for (int i = 0; i < 32; ++i) {
    digits[2 * i] = static_cast<std::int8_t>(bytes_[i] & 15);
    digits[2 * i + 1] = static_cast<std::int8_t>(bytes_[i] >> 4);
  }
  // Recentre each digit from [0, 15] (+1 carry) into [-8, 7] by moving 16 to
  // the next one: carry = (d + 8) >> 4, arithmetic only.
  for (int i = 0; i < 63; ++i) {
    const std::int8_t carry = static_cast<std::int8_t>((digits[i] + 8) >> 4);
    digits[i] = static_cast<std::int8_t>(digits[i] - (carry << 4));
    digits[i + 1] = static_cast<std::int8_t>(digits[i + 1] + carry);
  }
  return digits;
}

template <int W>
std::array<std::int8_t, (256 + W - 1) / W> Scalar::as_radix_2w() const {
  constexpr int D = (256 + W - 1) / W;
  constexpr int kMask = (1 << W) - 1, kHalf = 1 << (W - 1);
  std::uint64_t words[4];
  std::memcpy(words, bytes_.data(), sizeof words);  // little-endian, as the bytes
  std::array<std::int8_t, D> digits{};
  for (int i = 0; i < D; ++i) {
    // Bits W i .. W i + W - 1; the positions are public, the bits are not.
    const int bit = W * i, word = bit / 64, shift = bit % 64;
    std::uint64_t v = words[word] >> shift;
    if (shift > 64 - W && word < 3) v |= words[word + 1] << (64 - shift);
    digits[i] = static_cast<std::int8_t>(v & kMask);
  }
  runtime::wipe(words);
  // Recentre from [0, 2^W - 1] (+1 carry) into [-2^(W-1), 2^(W-1) - 1]:
  // carry = (d + 2^(W-1)) >> W. Bit 255 is clear, so the last digit, at most
  // 2^(255 - W (D - 1)) - 1 plus a carry, needs no recentring.
  for (int i = 0; i < D - 1; ++i) {
    const std::int8_t carry = static_cast<std::int8_t>((digits[i] + kHalf) >> W);
    digits[i] = static_cast<std::int8_t>(digits[i] - (carry << W));
    digits[i + 1] = static_cast<std::int8_t>(digits[i + 1] + carry);
  }
  return digits;
}

template std::array<std::int8_t, 52> Scalar::as_radix_2w<5>() const;
template std::array<std::int8_t, 43> Scalar::as_radix_2w<6>() const;

}  // namespace vorlinde::curve
