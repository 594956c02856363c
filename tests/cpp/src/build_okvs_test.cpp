// build_okvs and initiate_queries called from C++: the store a bank builds
// decodes at each of its rows to an encryption of the identity under its key
// (checked with the secret key: point(c2) = sk point(c1)) and at other rows to
// something else; repeated key byte strings keep their first row; keys whose
// multiples have no representative are refused; and a query over two genuine
// lookups keeps delta = a alpha + b beta + x gamma.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tests/cpp/curve/support.hpp"
#include "curve/edwards.hpp"
#include "curve/scalar.hpp"
#include "okvs/schemes/paxos.hpp"
#include "runtime/failure.hpp"
#include "src/ciphertexts.hpp"
#include "src/data_rows.hpp"
#include "src/operations.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"
#include "runtime/pool.hpp"
#include "tests/cpp/dead_stack.hpp"
#include "tests/cpp/failure_message.hpp"

namespace vorlinde {
namespace {

using vorlinde::test_support::failure_message;

using curve::CompressedEdwardsY;
using curve::ED25519_BASEPOINT_TABLE;
using curve::EdwardsPoint;
using curve::Scalar;
using Store = okvs::Paxos<Ciphertext>;

// A byte-string argument held in a vector; it never fails the type test.
class VectorArg final : public BytesArg {
 public:
  explicit VectorArg(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  template <std::size_t N>
  explicit VectorArg(const std::array<std::uint8_t, N>& bytes) : bytes_(bytes.begin(), bytes.end()) {}
  std::span<const std::uint8_t> get(const char*) const override { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct Party {
  Scalar secret = Scalar::random();
  EdwardsPoint public_point = ED25519_BASEPOINT_TABLE * secret;
  VectorArg public_key{public_point.compress().bytes};
};

bool encrypts_identity(const Ciphertext& value, const Scalar& secret) {
  return uniform_bytes_to_point(value.c2) == uniform_bytes_to_point(value.c1) * secret;
}

EdwardsPoint point(const std::array<std::uint8_t, 32>& encoding) {
  const auto p = CompressedEdwardsY{encoding}.decompress();
  EXPECT_TRUE(p.has_value());
  return p.value_or(EdwardsPoint::identity());
}

Rows bank_rows() {
  Rows rows = {{"DE89370400440532013000", "Anna Schmidt"}, {"", ""}, {"Zoë", "Ærø", "日本"}, {"x"}};
  for (int i = 0; i < 300; ++i) rows.push_back({"IBAN" + std::to_string(i), "name " + std::to_string(i)});
  return rows;
}

TEST(BuildOkvs, EveryRowDecodesToAnEncryptionOfTheIdentity) {
  const Party bank;
  const Rows rows = bank_rows();
  const Store store = Store::from_bytes(build_okvs(bank.public_key, rows));
  ASSERT_EQ(store.sparse.size(), okvs::sparse_size(rows.size()));
  for (const Row& row : rows) EXPECT_TRUE(encrypts_identity(store.decode(DataRow(row)), bank.secret));

  // Rows the bank does not have, one of them a prefix of a row it has.
  for (const Row& absent : {Row{"DE89370400440532013000", "Anna"}, Row{"IBAN300", "name 300"}, Row{"y"}}) {
    EXPECT_FALSE(encrypts_identity(store.decode(DataRow(absent)), bank.secret));
  }
  // Under another key the values are not encryptions of the identity.
  EXPECT_FALSE(encrypts_identity(store.decode(DataRow(rows[0])), Party{}.secret));
}

TEST(BuildOkvs, RowsWithOneKeyByteStringShareOnePair) {
  const Party bank;
  const Rows rows = {{"ab", "c"}, {"a", "bc"}, {"abc"}, {}, {"", ""}, {"q"}, {"ab", "c"}, {"q"}};
  const std::string out_of_line = "this string is longer than any short-string buffer";
  Rows with_long = rows;
  with_long.push_back({out_of_line});
  with_long.push_back({out_of_line.substr(0, 20), out_of_line.substr(20)});

  const std::vector<DataRow> kept = distinct_rows(with_long);
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[0].strings(), (Row{"ab", "c"}));
  EXPECT_EQ(kept[1].strings(), Row{});
  EXPECT_EQ(kept[2].strings(), Row{"q"});
  EXPECT_EQ(kept[3].strings(), Row{out_of_line});

  // Encoding would never finish with a key twice in the pair list.
  const Store store = Store::from_bytes(build_okvs(bank.public_key, with_long));
  EXPECT_EQ(store.sparse.size(), okvs::sparse_size(4));
  for (const Row& row : with_long) EXPECT_TRUE(encrypts_identity(store.decode(DataRow(row)), bank.secret));
}

// Rows are only compared when their hashes are equal: with a hash that puts
// every row in one bucket, or in three, the kept rows are those of the plain
// definition (the first row of each concatenation, found with a map).
TEST(BuildOkvs, DistinctRowsCompareRowsWhoseHashesCollide) {
  Rows rows = {{"ab", "c"}, {"a", "bc"}, {"abc"}, {}, {"", ""}, {"q"}, {"ab", "c"}, {"q"}, {"", "q", ""},
               {"abcd"}, {"ab", "cd"}, {"abc", "", "d"}, {"x\xc3\xa9"}, {"x\xc3", "\xa9"}};
  for (int i = 0; i < 40; ++i) rows.push_back({"row", std::to_string(i % 17)});
  std::vector<std::size_t> first;
  std::map<std::string, std::size_t> seen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string key;
    for (const auto& s : rows[i]) key += s;
    if (seen.emplace(key, i).second) first.push_back(i);
  }
  const auto constant = [](const Row&) { return std::uint64_t{7}; };
  // Any function of the key byte string will do, however poor.
  const auto length_mod_3 = [](const Row& row) {
    std::uint64_t length = 0;
    for (const auto& s : row) length += s.size();
    return length % 3;
  };
  const std::vector<std::vector<DataRow>> results = {distinct_rows(rows), distinct_rows_by(rows, constant),
                                                     distinct_rows_by(rows, length_mod_3)};
  for (std::size_t r = 0; r < results.size(); ++r) {
    const auto& kept = results[r];
    ASSERT_EQ(kept.size(), first.size()) << "variant " << r;
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(kept[i].strings(), rows[first[i]]);
  }

  // The same rows held as key byte strings only: each key is the plain
  // concatenation, and deduplicating in place keeps the same rows, in order.
  const auto as_bytes = [](const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  const auto concatenation = [](const Row& row) {
    std::string key;
    for (const auto& s : row) key += s;
    return key;
  };
  const RowKeys all(rows);
  ASSERT_EQ(all.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(std::vector<std::uint8_t>(all.key(i).begin(), all.key(i).end()), as_bytes(concatenation(rows[i])));
  }
  const auto bytes_constant = [](std::span<const std::uint8_t>) { return std::uint64_t{7}; };
  const auto bytes_length_mod_3 = [](std::span<const std::uint8_t> key) { return std::uint64_t{key.size() % 3}; };
  std::vector<RowKeys> deduplicated(3, all);
  deduplicated[0].keep_distinct();
  deduplicated[1].keep_distinct_by(bytes_constant);
  deduplicated[2].keep_distinct_by(bytes_length_mod_3);
  for (std::size_t r = 0; r < deduplicated.size(); ++r) {
    const RowKeys& kept = deduplicated[r];
    ASSERT_EQ(kept.size(), first.size()) << "variant " << r;
    for (std::size_t i = 0; i < first.size(); ++i) {
      EXPECT_EQ(std::vector<std::uint8_t>(kept.key(i).begin(), kept.key(i).end()),
                as_bytes(concatenation(rows[first[i]])))
          << "variant " << r << " row " << i;
    }
  }
  EXPECT_TRUE(same_key_bytes({"", "ab", "", "c"}, {"a", "", "bc", ""}));
  EXPECT_TRUE(same_key_bytes({}, {"", ""}));
  EXPECT_FALSE(same_key_bytes({"ab"}, {"a", "bc"}));
  EXPECT_FALSE(same_key_bytes({"abc"}, {"ab"}));
  EXPECT_FALSE(same_key_bytes({"ab", "d"}, {"a", "bc"}));
}

TEST(BuildOkvs, DistinctRowsAreKeptAsGivenInOrder) {
  const Rows rows = bank_rows();
  const std::vector<DataRow> kept = distinct_rows(rows);
  ASSERT_EQ(kept.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(kept[i].strings(), rows[i]);
}

TEST(BuildOkvs, KeysWithoutRepresentableMultiplesAreRefusedBeforeEncrypting) {
  const std::string message = "The public key cannot encrypt: it is the identity or the point of order two.";
  std::array<std::uint8_t, 32> identity{1};
  std::array<std::uint8_t, 32> order_two{};  // y = -1 = p - 1
  order_two.fill(0xff);
  order_two[0] = 0xec;
  order_two[31] = 0x7f;
  ASSERT_EQ(point(identity), EdwardsPoint::identity());
  ASSERT_EQ(point(order_two).dbl(), EdwardsPoint::identity());
  for (const auto& key : {identity, order_two}) {
    EXPECT_EQ(failure_message([&] { build_okvs(VectorArg(key), {{"a"}}); }), message);
    // Nothing to encrypt: the empty store.
    EXPECT_EQ(build_okvs(VectorArg(key), {}).size(), 2072u);
  }
}

TEST(BuildOkvs, KeysOfOrderFourAndEightStillEncrypt) {
  // y = 0: (sqrt(-1), 0), of order 4. The second is a point of order 8 from
  // libsodium's list of small-order encodings (ed25519 blocklist).
  const std::array<std::uint8_t, 32> order_four{};
  const std::array<std::uint8_t, 32> order_eight = {
      0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
      0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05};
  ASSERT_EQ(point(order_four).mul_by_pow_2(2), EdwardsPoint::identity());
  ASSERT_NE(point(order_four).dbl(), EdwardsPoint::identity());
  ASSERT_EQ(point(order_eight).mul_by_pow_2(3), EdwardsPoint::identity());
  ASSERT_NE(point(order_eight).mul_by_pow_2(2), EdwardsPoint::identity());
  for (const auto& key : {order_four, order_eight}) {
    EXPECT_EQ(build_okvs(VectorArg(key), {{"a"}, {"b"}, {"c"}}).size(), 2072u + 64 * 8);
  }
}

TEST(InitiateQueries, RecordKeepsTheRelationOnlyWhenBothRowsAreStored) {
  const Party sender, receiver, swift;
  const Rows sender_rows = {{"s0"}, {"s1"}, {"s2"}};
  const Rows receiver_rows = {{"r0"}, {"r1"}};
  const VectorArg sender_okvs(build_okvs(sender.public_key, sender_rows));
  const VectorArg receiver_okvs(build_okvs(receiver.public_key, receiver_rows));
  // Queries: hit/hit, hit/miss, miss/hit, miss/miss, hit/hit; one extra
  // sender row beyond the receiver list's length is ignored.
  const Rows sender_queries = {{"s1"}, {"s0"}, {"s9"}, {"s9"}, {"s2"}, {"s0"}};
  const Rows receiver_queries = {{"r0"}, {"r9"}, {"r1"}, {"r9"}, {"r1"}};
  const std::vector<bool> expected = {true, false, false, false, true};

  const Bytes records =
      initiate_queries(sender_queries, receiver_queries, sender_okvs, receiver_okvs, swift.public_key);
  ASSERT_EQ(records.size(), expected.size() * WideCiphertext::kSize);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto w = WideCiphertext::from_bytes(std::span(records).subspan(i * WideCiphertext::kSize));
    const EdwardsPoint expected_delta = point(w.alpha.bytes) * sender.secret + point(w.beta.bytes) * receiver.secret +
                                        point(w.gamma.bytes) * swift.secret;
    EXPECT_EQ(point(w.delta.bytes) == expected_delta, expected[i]) << "query " << i;
  }
}

// Rows far longer than the key buffer keeps: the store (built on the calling
// thread) and the lookups (on the workers) still find them, and afterwards no
// thread holds a buffer of that size.
TEST(InitiateQueries, LongRowsLeaveNoLargeKeyBufferOnAnyThread) {
  const Party sender, receiver, swift;
  const std::string long_string(4 * okvs::kKeyBufferKeepBytes, 'x');
  const Rows rows = {{long_string, "0"}, {long_string, "1"}, {"2"}};
  const VectorArg sender_okvs(build_okvs(sender.public_key, rows));
  EXPECT_LE(okvs::thread_key_buffer().capacity(), okvs::kKeyBufferKeepBytes);
  const VectorArg receiver_okvs(build_okvs(receiver.public_key, rows));

  const Rows queries = {rows[0], rows[1], rows[2], rows[0], rows[1]};
  const Bytes records = initiate_queries(queries, queries, sender_okvs, receiver_okvs, swift.public_key);
  ASSERT_EQ(records.size(), queries.size() * WideCiphertext::kSize);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const auto w = WideCiphertext::from_bytes(std::span(records).subspan(i * WideCiphertext::kSize));
    EXPECT_EQ(point(w.delta.bytes), point(w.alpha.bytes) * sender.secret + point(w.beta.bytes) * receiver.secret +
                                        point(w.gamma.bytes) * swift.secret)
        << "query " << i;
  }

  std::vector<std::size_t> capacities(runtime::pool_size());
  ASSERT_TRUE(test_support::on_each_worker(
      [&](std::size_t w) { capacities[w] = okvs::thread_key_buffer().capacity(); }));
  for (std::size_t w = 0; w < capacities.size(); ++w) {
    EXPECT_LE(capacities[w], okvs::kKeyBufferKeepBytes) << "worker " << w;
  }
}

}  // namespace
}  // namespace vorlinde
