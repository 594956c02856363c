#include <gtest/gtest.h>

#include "curve/edwards.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

using testing::hex;
using testing::random_bytes;
using Bytes = std::array<std::uint8_t, 32>;

Bytes compress(const EdwardsPoint& p) { return p.compress().bytes; }

EdwardsPoint decompress(const Bytes& b) {
  const auto p = CompressedEdwardsY{b}.decompress();
  EXPECT_TRUE(p.has_value());
  return p.value_or(EdwardsPoint::identity());
}

// A uniformly random point of the prime-order subgroup, from libsodium.
Bytes sodium_random_point() {
  Bytes p;
  crypto_core_ed25519_random(p.data());
  return p;
}

Scalar random_reduced_scalar() {
  Bytes s;
  crypto_core_ed25519_scalar_random(s.data());
  return Scalar::from_bits(s);
}

// n P by repeated addition: the oracle for small multipliers.
EdwardsPoint repeated_add(const EdwardsPoint& p, unsigned n) {
  EdwardsPoint r = EdwardsPoint::identity();
  for (unsigned i = 0; i < n; ++i) r = r + p;
  return r;
}

// ---- Known answers -------------------------------------------------------

TEST(EdwardsEncoding, KnownAnswers) {
  Bytes g;
  g.fill(0x66);
  g[0] = 0x58;
  EXPECT_EQ(compress(ED25519_BASEPOINT_POINT), g);
  EXPECT_EQ(decompress(g), ED25519_BASEPOINT_POINT);

  const Bytes identity = hex<32>("0100000000000000000000000000000000000000000000000000000000000000");
  EXPECT_EQ(compress(EdwardsPoint::identity()), identity);
  EXPECT_EQ(decompress(identity), EdwardsPoint::identity());

  // y = 2: (4 - 1)/(4d + 1) is not a square.
  EXPECT_FALSE(CompressedEdwardsY{hex<32>("0200000000000000000000000000000000000000000000000000000000000000")}
                   .decompress()
                   .has_value());

  // y = p + 1 stands for y = 1.
  const EdwardsPoint high = decompress(hex<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"));
  EXPECT_EQ(high, EdwardsPoint::identity());
  EXPECT_EQ(compress(high), identity);

  // x = 0 with the sign bit set is the point with x = 0.
  const EdwardsPoint signed_identity =
      decompress(hex<32>("0100000000000000000000000000000000000000000000000000000000000080"));
  EXPECT_EQ(signed_identity, EdwardsPoint::identity());
  EXPECT_EQ(compress(signed_identity), identity);
}

struct Rfc8032Key {
  const char* seed;
  const char* public_key;
};

class EdwardsRfc8032 : public testing::SodiumTest, public ::testing::WithParamInterface<Rfc8032Key> {};

// RFC 8032 section 7.1: public key = compress(s G), s = clamped first half of SHA-512(seed).
TEST_P(EdwardsRfc8032, PublicKeyFromFixedBase) {
  const Bytes seed = hex<32>(GetParam().seed);
  std::array<std::uint8_t, 64> h;
  crypto_hash_sha512(h.data(), seed.data(), seed.size());
  Bytes s;
  std::copy(h.begin(), h.begin() + 32, s.begin());
  s[0] &= 248;
  s[31] &= 127;
  s[31] |= 64;
  const Scalar k = Scalar::from_bits(s);
  const Bytes expected = hex<32>(GetParam().public_key);
  EXPECT_EQ(compress(ED25519_BASEPOINT_TABLE.mul(k)), expected);
  EXPECT_EQ(compress(ED25519_BASEPOINT_POINT * k), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edwards, EdwardsRfc8032,
    ::testing::Values(Rfc8032Key{"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
                                 "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"},
                      Rfc8032Key{"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
                                 "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"},
                      Rfc8032Key{"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
                                 "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"},
                      Rfc8032Key{"f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
                                 "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e"},
                      Rfc8032Key{"833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
                                 "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf"}));

// ---- Differential against libsodium -------------------------------------

class EdwardsVsSodium : public testing::SodiumTest {};

TEST_F(EdwardsVsSodium, FixedBaseMultiplication) {
  for (int i = 0; i < 2000; ++i) {
    const Scalar k = random_reduced_scalar();
    Bytes expected;
    ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(expected.data(), k.to_bytes().data()), 0);
    EXPECT_EQ(compress(ED25519_BASEPOINT_TABLE.mul(k)), expected);
  }
}

TEST_F(EdwardsVsSodium, VariableBaseAndRuntimeTable) {
  for (int i = 0; i < 200; ++i) {
    const Bytes p_bytes = sodium_random_point();
    const EdwardsPoint p = decompress(p_bytes);
    const EdwardsBasepointTable table = EdwardsBasepointTable::create(p);
    for (int j = 0; j < 10; ++j) {
      // libsodium clears bit 255 and multiplies by the integer; on the
      // prime-order subgroup that equals the reduced product, so unreduced
      // scalars can be compared too.
      Bytes raw = random_bytes<32>();
      raw[31] &= 0x7f;
      const Scalar k = (j % 2 == 0) ? random_reduced_scalar() : Scalar::from_bits(raw);
      Bytes expected;
      ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(expected.data(), k.to_bytes().data(), p_bytes.data()), 0);
      EXPECT_EQ(compress(p * k), expected);
      EXPECT_EQ(compress(table.mul(k)), expected);
    }
  }
}

TEST_F(EdwardsVsSodium, AdditionSubtractionAndEncoding) {
  for (int i = 0; i < 2000; ++i) {
    const Bytes a_bytes = sodium_random_point(), b_bytes = sodium_random_point();
    const EdwardsPoint a = decompress(a_bytes), b = decompress(b_bytes);
    EXPECT_EQ(compress(a), a_bytes);  // decompress then compress is the identity on canonical encodings
    Bytes sum, diff;
    ASSERT_EQ(crypto_core_ed25519_add(sum.data(), a_bytes.data(), b_bytes.data()), 0);
    ASSERT_EQ(crypto_core_ed25519_sub(diff.data(), a_bytes.data(), b_bytes.data()), 0);
    EXPECT_EQ(compress(a + b), sum);
    EXPECT_EQ(compress(a - b), diff);
    EXPECT_EQ(compress(a.dbl()), compress(a + a));
    EXPECT_EQ(compress(-a + a), compress(EdwardsPoint::identity()));
  }
}

// Every 32-byte string libsodium accepts as a subgroup point decodes here to
// the same encoding. (We accept strictly more: small-order and mixed points.)
TEST_F(EdwardsVsSodium, DecompressAcceptsWhatSodiumAccepts) {
  int valid = 0;
  for (int i = 0; i < 4000; ++i) {
    Bytes b = random_bytes<32>();
    if (crypto_core_ed25519_is_valid_point(b.data()) != 1) {
      // Random strings are y-coordinates of a point about half the time; the
      // subgroup membership libsodium also checks holds for 1/8 of those.
      continue;
    }
    ++valid;
    const auto p = CompressedEdwardsY{b}.decompress();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(compress(*p), b);
  }
  EXPECT_GT(valid, 100);
}

// ---- Equality ------------------------------------------------------------

TEST(Edwards, EqualityIsProjective) {
  const EdwardsPoint p = ED25519_BASEPOINT_POINT * Scalar::from_bits(random_bytes<32>());
  const FieldElement lambda = FieldElement::from_bytes(random_bytes<32>());
  const EdwardsPoint scaled{p.X * lambda, p.Y * lambda, p.Z * lambda, p.T * lambda};
  EXPECT_TRUE(p.ct_eq(scaled).declassify());
  EXPECT_TRUE(p == scaled);
  EXPECT_FALSE(p == -p);
  EXPECT_FALSE(p == p.dbl());
}

// ---- Batch compression ----------------------------------------------------

// compress_all shares one inversion among its points; each encoding must be
// the one compress() gives, whatever the points' Z (here: results of additions
// and multiplications, never normalised) and including the identity, whose
// u-coordinate has no inverse, and x = 0 points.
TEST(Edwards, CompressAllMatchesCompress) {
  for (int round = 0; round < 200; ++round) {
    std::array<EdwardsPoint, 5> points;
    for (EdwardsPoint& p : points) p = ED25519_BASEPOINT_POINT * Scalar::from_bits(random_bytes<32>());
    points[round % 5] = round % 3 == 0 ? EdwardsPoint::identity() : -points[(round + 1) % 5].dbl();
    const auto batch = EdwardsPoint::compress_all(points);
    for (std::size_t i = 0; i < points.size(); ++i) EXPECT_EQ(batch[i], points[i].compress()) << round << " " << i;
  }
  const std::array<EdwardsPoint, 1> one{decompress(hex<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"))};
  EXPECT_EQ(EdwardsPoint::compress_all(one)[0], one[0].compress());
}

// ---- Small-order and mixed-order points, unreduced scalars ---------------

// Encodings of points of order 1, 2, 4 and 8 (libsodium's small-order list).
const char* const kSmallOrder[] = {
    "0100000000000000000000000000000000000000000000000000000000000000",  // order 1
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // order 2, y = -1
    "0000000000000000000000000000000000000000000000000000000000000000",  // order 4, y = 0
    "0000000000000000000000000000000000000000000000000000000000000080",  // order 4, y = 0, x negated
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",  // order 8
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",  // order 8
};

class EdwardsSmallOrder : public testing::SodiumTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EdwardsSmallOrder, AcceptedAndMultipliedByTheInteger) {
  const EdwardsPoint t = decompress(hex<32>(GetParam()));
  EXPECT_EQ(t.mul_by_cofactor(), EdwardsPoint::identity());
  EXPECT_EQ(t.mul_by_cofactor(), repeated_add(t, 8));
  for (int i = 0; i < 20; ++i) {
    Bytes raw = random_bytes<32>();
    raw[31] &= 0x7f;
    const Scalar k = Scalar::from_bits(raw);
    const EdwardsPoint expected = repeated_add(t, raw[0] % 8);
    EXPECT_EQ(t * k, expected);
    EXPECT_EQ(EdwardsBasepointTable::create(t).mul(k), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Edwards, EdwardsSmallOrder, ::testing::ValuesIn(kSmallOrder));

// P = Q + T, Q of order l, T of order 8. For an unreduced k (bit 255 clear,
// k >= l): k P = (k mod l) Q + (k mod 8) T; reduction mod l alone would get T's
// share wrong.
TEST_F(EdwardsVsSodium, UnreducedScalarsOnMixedOrderPoint) {
  const EdwardsPoint t = decompress(hex<32>(kSmallOrder[4]));
  for (int i = 0; i < 100; ++i) {
    const Bytes q_bytes = sodium_random_point();
    const EdwardsPoint p = decompress(q_bytes) + t;
    Bytes raw = random_bytes<32>();
    raw[31] |= 0x40;  // k >= 2^254 > l
    raw[31] &= 0x7f;
    const Scalar k = Scalar::from_bits(raw);

    Bytes k_mod_l;
    std::array<std::uint8_t, 64> wide{};
    std::copy(raw.begin(), raw.end(), wide.begin());
    crypto_core_ed25519_scalar_reduce(k_mod_l.data(), wide.data());
    Bytes kq;
    ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(kq.data(), k_mod_l.data(), q_bytes.data()), 0);
    const EdwardsPoint expected = decompress(kq) + repeated_add(t, raw[0] % 8);

    EXPECT_EQ(p * k, expected);
    EXPECT_EQ(EdwardsBasepointTable::create(p).mul(k), expected);
  }
}

}  // namespace
}  // namespace vorlinde::curve
