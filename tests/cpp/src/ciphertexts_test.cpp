// Ciphertext and WideCiphertext: byte forms and their range failures, the
// ElGamal property of zero(), and the relation delta = a alpha + b beta +
// x gamma through add_and_randomize, randomize and sum. Point sums are checked
// against libsodium's crypto_core_ed25519_add.

#include <gtest/gtest.h>

#include <set>
#include <vector>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "curve/edwards.hpp"
#include "runtime/failure.hpp"
#include "src/ciphertexts.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"
#include "tests/cpp/curve/support.hpp"
#include "tests/cpp/failure_message.hpp"

namespace vorlinde {
namespace {

using vorlinde::test_support::failure_message;

using curve::CompressedEdwardsY;
using curve::ED25519_BASEPOINT_TABLE;
using curve::EdwardsBasepointTable;
using curve::EdwardsPoint;
using curve::Scalar;
using curve::testing::random_bytes;

constexpr const char* kUnwrapMessage = "called `Option::unwrap()` on a `None` value";
// y = 2 has no x on the curve.
const CompressedEdwardsY kNotAPoint{{2}};

Scalar random_scalar() { return Scalar::from_bytes_mod_order_wide(random_bytes<64>()); }

EdwardsPoint point(const CompressedEdwardsY& encoding) {
  const auto p = encoding.decompress();
  EXPECT_TRUE(p.has_value());
  return p.value_or(EdwardsPoint::identity());
}

// Keys of the two banks and the operator, and records built from them.
struct Parties {
  Scalar a = random_scalar(), b = random_scalar(), x = random_scalar();
  EdwardsBasepointTable table_a = EdwardsBasepointTable::create(ED25519_BASEPOINT_TABLE * a);
  EdwardsBasepointTable table_b = EdwardsBasepointTable::create(ED25519_BASEPOINT_TABLE * b);

  WideCiphertext genuine_record() const {
    return Ciphertext::zero(table_a).add_and_randomize(Ciphertext::zero(table_b), ED25519_BASEPOINT_TABLE * x);
  }
  bool relation_holds(const WideCiphertext& w) const {
    return point(w.delta) == point(w.alpha) * a + point(w.beta) * b + point(w.gamma) * x;
  }
};

class CiphertextTest : public curve::testing::SodiumTest {};

TEST_F(CiphertextTest, BytesRoundTripAndRangeMessages) {
  const auto bytes = random_bytes<64>();
  EXPECT_EQ(Ciphertext::from_bytes(bytes).to_bytes(), bytes);
  const std::vector<std::uint8_t> long_chunk(80, 7);
  EXPECT_EQ(Ciphertext::from_bytes(long_chunk),
            Ciphertext::from_bytes(std::span<const std::uint8_t>(long_chunk).first(64)));

  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {0, "range end index 32 out of range for slice of length 0"},
      {31, "range end index 32 out of range for slice of length 31"},
      {32, "range end index 64 out of range for slice of length 32"},
      {63, "range end index 64 out of range for slice of length 63"},
  };
  for (const auto& [length, message] : cases) {
    const std::vector<std::uint8_t> chunk(length);
    EXPECT_EQ(failure_message([&] { Ciphertext::from_bytes(chunk); }), message);
  }
}

TEST_F(CiphertextTest, XorIsBytewiseAndSelfInverse) {
  const Ciphertext p = Ciphertext::random(), q = Ciphertext::random();
  const auto pb = p.to_bytes(), qb = q.to_bytes();
  const auto pq = (p ^ q).to_bytes();
  for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(pq[i], pb[i] ^ qb[i]);
  Ciphertext r = q;
  r ^= p;
  EXPECT_EQ(r, p ^ q);
  EXPECT_EQ(p ^ p, Ciphertext{});
  EXPECT_NE(p, q);
}

TEST_F(CiphertextTest, ZeroEncryptsTheIdentityAndNeedsAboutFourAttempts) {
  const Scalar sk = random_scalar();
  const EdwardsBasepointTable table = EdwardsBasepointTable::create(ED25519_BASEPOINT_TABLE * sk);
  // One value alone (a batch of one), then many in one call: candidates are
  // tested a vector's width at a time there, and only the last batches may
  // leave some unused.
  const Ciphertext single = Ciphertext::zero(table);
  ASSERT_EQ(uniform_bytes_to_point(single.c2), uniform_bytes_to_point(single.c1) * sk);
  const std::uint64_t before = Ciphertext::zero_attempts_on_this_thread();
  constexpr int kValues = 1000;
  std::vector<Ciphertext> values(kValues);
  Ciphertext::zero_many(table, values);
  const double mean = static_cast<double>(Ciphertext::zero_attempts_on_this_thread() - before) / kValues;
  std::set<std::array<std::uint8_t, Ciphertext::kSize>> distinct;
  for (const Ciphertext& c : values) {
    ASSERT_EQ(uniform_bytes_to_point(c.c2), uniform_bytes_to_point(c.c1) * sk);
    distinct.insert(c.to_bytes());
  }
  EXPECT_EQ(distinct.size(), values.size());
  // Geometric with success 1/4: mean 4, standard deviation of the mean of
  // 1000 draws about 0.11, so [3.3, 4.7] is more than six deviations wide
  // (the unused candidates of the last batches add at most 0.02).
  EXPECT_GT(mean, 3.3);
  EXPECT_LT(mean, 4.7);
}

TEST_F(CiphertextTest, AddAndRandomizeKeepsTheRelationOnlyForGenuineValues) {
  const Parties parties;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(parties.relation_holds(parties.genuine_record()));

  const WideCiphertext genuine_a = Ciphertext::zero(parties.table_a)
                                       .add_and_randomize(Ciphertext::random(), ED25519_BASEPOINT_TABLE * parties.x);
  EXPECT_FALSE(parties.relation_holds(genuine_a));
  const WideCiphertext randoms =
      Ciphertext::random().add_and_randomize(Ciphertext::random(), ED25519_BASEPOINT_TABLE * parties.x);
  for (const CompressedEdwardsY* field : {&randoms.alpha, &randoms.beta, &randoms.gamma, &randoms.delta}) {
    EXPECT_TRUE(field->decompress().has_value());
  }
  EXPECT_FALSE(parties.relation_holds(randoms));
}

class WideCiphertextTest : public curve::testing::SodiumTest {};

TEST_F(WideCiphertextTest, BytesRoundTripWithoutPointChecksAndRangeMessages) {
  const auto bytes = random_bytes<128>();
  EXPECT_EQ(WideCiphertext::from_bytes(bytes).to_bytes(), bytes);

  const std::vector<std::pair<std::size_t, std::size_t>> length_to_end = {
      {1, 32}, {31, 32}, {32, 64}, {63, 64}, {64, 96}, {72, 96}, {96, 128}, {127, 128}};
  for (const auto& [length, end] : length_to_end) {
    const std::vector<std::uint8_t> chunk(length);
    EXPECT_EQ(failure_message([&] { WideCiphertext::from_bytes(chunk); }),
              "range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(length));
  }
}

TEST_F(WideCiphertextTest, RandomizeMultipliesAllFieldsByOneScalar) {
  const EdwardsPoint q = ED25519_BASEPOINT_TABLE * random_scalar();
  const Scalar k1 = random_scalar(), k2 = random_scalar();
  const WideCiphertext w{q.compress(), (q * k1).compress(), EdwardsPoint::identity().compress(), (q * k2).compress()};
  const WideCiphertext r = w.randomize();
  EXPECT_NE(r.alpha, w.alpha);
  EXPECT_EQ(point(r.beta), point(r.alpha) * k1);
  EXPECT_EQ(r.gamma, EdwardsPoint::identity().compress());
  EXPECT_EQ(point(r.delta), point(r.alpha) * k2);
  EXPECT_NE(w.randomize(), r);
}

TEST_F(WideCiphertextTest, SumAgreesWithLibsodiumAndNormalisesEncodings) {
  std::array<std::uint8_t, 128> sb, rb;
  for (int i = 0; i < 4; ++i) {
    crypto_core_ed25519_random(sb.data() + 32 * i);
    crypto_core_ed25519_random(rb.data() + 32 * i);
  }
  const auto summed = WideCiphertext::from_bytes(sb).sum(WideCiphertext::from_bytes(rb)).to_bytes();
  for (int i = 0; i < 4; ++i) {
    std::array<std::uint8_t, 32> expected;
    ASSERT_EQ(crypto_core_ed25519_add(expected.data(), sb.data() + 32 * i, rb.data() + 32 * i), 0);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), summed.begin() + 32 * i)) << i;
  }
  // y = p + 1 is the identity written non-canonically: adding it re-encodes the
  // other operand canonically and leaves it unchanged.
  CompressedEdwardsY identity_high{};
  identity_high.bytes.fill(0xff);
  identity_high.bytes[0] = 0xee;
  identity_high.bytes[31] = 0x7f;
  const WideCiphertext identities{identity_high, identity_high, identity_high, identity_high};
  EXPECT_EQ(WideCiphertext::from_bytes(sb).sum(identities).to_bytes(), sb);
}

TEST_F(WideCiphertextTest, InvalidFieldFailsWhereverItIs) {
  const Parties parties;
  const WideCiphertext valid = parties.genuine_record();
  for (int field = 0; field < 4; ++field) {
    WideCiphertext bad = valid;
    CompressedEdwardsY* fields[] = {&bad.alpha, &bad.beta, &bad.gamma, &bad.delta};
    *fields[field] = kNotAPoint;
    EXPECT_EQ(failure_message([&] { bad.randomize(); }), kUnwrapMessage) << field;
    EXPECT_EQ(failure_message([&] { bad.sum(valid); }), kUnwrapMessage) << field;
    EXPECT_EQ(failure_message([&] { valid.sum(bad); }), kUnwrapMessage) << field;
  }
}

TEST_F(WideCiphertextTest, RandomizeAndSumKeepTheRelation) {
  const Parties parties;
  const WideCiphertext w1 = parties.genuine_record(), w2 = parties.genuine_record();
  EXPECT_TRUE(parties.relation_holds(w1.randomize()));
  EXPECT_TRUE(parties.relation_holds(w1.sum(w2)));
  EXPECT_TRUE(parties.relation_holds(w1.randomize().sum(w2.randomize())));

  const Parties others;
  EXPECT_FALSE(parties.relation_holds(w1.sum(others.genuine_record())));
}

}  // namespace
}  // namespace vorlinde
