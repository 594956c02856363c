// What add_and_randomize hands to the banks must not show whether a lookup
// hit: every field of every record lies in the subgroup of order l, whatever
// small-order parts the looked-up values carry, on every backend this
// processor runs. The oracle is libsodium's crypto_core_ed25519_is_valid_point,
// which accepts exactly the encodings of points of order l (it refuses the
// identity, whose encoding is compared apart).

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "curve/backend.hpp"
#include "curve/edwards.hpp"
#include "src/ciphertexts.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde {
namespace {

using curve::Backend;
using curve::CompressedEdwardsY;
using curve::ED25519_BASEPOINT_TABLE;
using curve::EdwardsBasepointTable;
using curve::EdwardsPoint;
using curve::Scalar;
using curve::testing::hex;
using curve::testing::random_bytes;

const CompressedEdwardsY kIdentity = EdwardsPoint::identity().compress();

bool in_prime_subgroup(const CompressedEdwardsY& e) {
  return e == kIdentity || crypto_core_ed25519_is_valid_point(e.bytes.data()) == 1;
}

Scalar random_scalar() { return Scalar::from_bytes_mod_order_wide(random_bytes<64>()); }

const Scalar kGroupOrder =
    Scalar::from_bits(hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"));

// The order (1, 2, 4 or 8) of a point of small order.
int small_order(const EdwardsPoint& t) {
  int k = 1;
  for (EdwardsPoint p = t; !(p == EdwardsPoint::identity()); p = p.dbl()) k *= 2;
  return k;
}

// A representative whose point has order exactly 4: l Q for points Q of the
// full group (libsodium's random bytes) until it has order 4, then the inverse
// map on either branch. (Points of order 8 have no preimage under the map, so
// a half is never purely of order 8; one of order 4 is the most it can be.)
Representative order_four_representative() {
  for (;;) {
    const auto q = CompressedEdwardsY{random_bytes<32>()}.decompress();
    if (!q) continue;
    const EdwardsPoint t = *q * kGroupOrder;
    if (small_order(t) != 4) continue;
    for (const std::uint8_t branch : {0, 1}) {
      if (const auto r = curve::point_to_uniform_bytes(t, curve::Choice::from_bit(branch))) return *r;
    }
  }
}

// Random bytes until the point has a component of order 8, the most common
// shape of a missed lookup's half.
Representative mixed_order_eight_representative() {
  for (;;) {
    const Representative r = random_bytes<32>();
    if (small_order(uniform_bytes_to_point(r) * kGroupOrder) == 8) return r;
  }
}

std::vector<CompressedEdwardsY> fields(const WideCiphertext& w) { return {w.alpha, w.beta, w.gamma, w.delta}; }

class RecordSubgroupTest : public ::testing::TestWithParam<const Backend*> {
 protected:
  static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
  void SetUp() override { scoped_.emplace(*GetParam()); }
  void TearDown() override { scoped_.reset(); }

  Scalar a_ = random_scalar(), b_ = random_scalar(), x_ = random_scalar();
  EdwardsBasepointTable table_a_ = EdwardsBasepointTable::create(ED25519_BASEPOINT_TABLE * a_);
  EdwardsBasepointTable table_b_ = EdwardsBasepointTable::create(ED25519_BASEPOINT_TABLE * b_);
  EdwardsPoint operator_key_ = ED25519_BASEPOINT_TABLE * x_;

  // Records for n pairs, through the batched path that initiate_queries uses.
  std::vector<WideCiphertext> records(const std::vector<Ciphertext>& selves, const std::vector<Ciphertext>& others) {
    std::vector<WideCiphertext> out(selves.size());
    Ciphertext::add_and_randomize_many(selves, others, operator_key_, out);
    return out;
  }

 private:
  std::optional<curve::ScopedBackendForTesting> scoped_;
};

std::string backend_name(const ::testing::TestParamInfo<const Backend*>& info) {
  std::string name = info.param->name;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(EveryRunnableBackend, RecordSubgroupTest, ::testing::ValuesIn(curve::available_backends()),
                         backend_name);

// Misses on either side or both (random 64 bytes, as an absent key's lookup
// gives), hits on the other: about 15 of 16 random halves carry a small-order
// part, so without the factor 8 most alphas or betas of misses fall outside.
TEST_P(RecordSubgroupTest, RecordsOfMissedLookupsLieInTheSubgroup) {
  constexpr std::size_t n = 200;
  std::vector<Ciphertext> genuine_a(n), genuine_b(n), random_a(n), random_b(n);
  Ciphertext::zero_many(table_a_, genuine_a);
  Ciphertext::zero_many(table_b_, genuine_b);
  Ciphertext::random_many(random_a);
  Ciphertext::random_many(random_b);
  const std::vector<std::vector<WideCiphertext>> kinds = {
      records(random_a, genuine_b), records(genuine_a, random_b), records(random_a, random_b)};
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    for (std::size_t i = 0; i < n; ++i) {
      for (const CompressedEdwardsY& f : fields(kinds[k][i])) EXPECT_TRUE(in_prime_subgroup(f)) << k << " " << i;
    }
  }
}

// No statistics: values whose halves are pure small-order points (64 zero
// bytes read as the point of order 2, and a point of order 4) give the
// identity in alpha and beta of every record, and gamma and delta of order l;
// halves with a component of order 8 give alpha and beta of order l in every
// record (without the factor, only when s is a multiple of 8).
TEST_P(RecordSubgroupTest, SmallOrderValuesGiveTheIdentity) {
  const Representative r4 = order_four_representative(), r8 = mixed_order_eight_representative();
  ASSERT_EQ(small_order(uniform_bytes_to_point(r4)), 4);
  const Ciphertext zero_bytes{}, order_four{r4, r4}, mixed{r8, r8};
  constexpr std::size_t n = 40;
  for (const Ciphertext& self : {zero_bytes, order_four, mixed}) {
    for (const Ciphertext& other : {zero_bytes, order_four, mixed}) {
      const bool pure = !(self == mixed) && !(other == mixed);
      for (const WideCiphertext& w : records(std::vector(n, self), std::vector(n, other))) {
        if (!(self == mixed)) EXPECT_EQ(w.alpha, kIdentity);
        if (!(other == mixed)) EXPECT_EQ(w.beta, kIdentity);
        EXPECT_NE(w.gamma, kIdentity);
        for (const CompressedEdwardsY& f : fields(w)) EXPECT_TRUE(in_prime_subgroup(f));
        // With no key of a bank in the record, delta = x gamma.
        if (pure) EXPECT_EQ((*w.gamma.decompress() * x_).compress(), w.delta);
      }
    }
  }
}

// Hits on both sides keep the relation the last step tests, and their fields
// are of order l as before.
TEST_P(RecordSubgroupTest, GenuineRecordsKeepTheRelation) {
  constexpr std::size_t n = 40;
  std::vector<Ciphertext> genuine_a(n), genuine_b(n);
  Ciphertext::zero_many(table_a_, genuine_a);
  Ciphertext::zero_many(table_b_, genuine_b);
  for (const WideCiphertext& w : records(genuine_a, genuine_b)) {
    for (const CompressedEdwardsY& f : fields(w)) EXPECT_TRUE(in_prime_subgroup(f));
    const EdwardsPoint want = *w.alpha.decompress() * a_ + *w.beta.decompress() * b_ + *w.gamma.decompress() * x_;
    EXPECT_EQ(want.compress(), w.delta);
  }
}

}  // namespace
}  // namespace vorlinde
