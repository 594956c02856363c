#include "okvs/schemes/paxos.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include <cstdint>
#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "previous_encoder.hpp"
#include "saved_stores.hpp"
#include "okvs_test_types.hpp"
#include "runtime/failure.hpp"
#include "tests/cpp/failure_message.hpp"

namespace vorlinde::okvs {
namespace {

using vorlinde::test_support::failure_message;

using testing::ByteKey;
using testing::Value64;
using Store = Paxos<Value64>;
using Pairs = std::vector<std::pair<ByteKey, Value64>>;

static_assert(Okvs<Store, ByteKey, Value64>);
static_assert(Okvs<Paxos<std::uint64_t>, ByteKey, std::uint64_t>);

template <class V = Value64>
std::vector<std::pair<ByteKey, V>> make_pairs(std::size_t n, const std::string& tag) {
  std::vector<std::pair<ByteKey, V>> pairs;
  pairs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) pairs.emplace_back(ByteKey{tag + "/" + std::to_string(i)}, random_value<V>());
  return pairs;
}

template <class V>
void expect_decodes(const Paxos<V>& store, const std::vector<std::pair<ByteKey, V>>& pairs) {
  for (const auto& [key, value] : pairs) ASSERT_EQ(store.decode(key), value) << key.bytes;
}

TEST(OkvsPaxos, SparseSize) {
  EXPECT_EQ(sparse_size(0), 0u);
  EXPECT_EQ(sparse_size(1), 3u);
  EXPECT_EQ(sparse_size(5), 12u);
  EXPECT_EQ(sparse_size(1000), 2400u);
  // Exact integer form of ceil(2.4 n) for n below 2^48.
  for (std::uint64_t n = 0; n < 200000; ++n) ASSERT_EQ(sparse_size(n), (12 * n + 4) / 5) << n;
  for (std::uint64_t n : {(1ULL << 48) - 1, (1ULL << 47) + 3, 123456789012345ULL}) {
    EXPECT_EQ(sparse_size(n), (12 * n + 4) / 5) << n;
  }
  EXPECT_EQ(sparse_size(std::numeric_limits<std::uint64_t>::max()), std::numeric_limits<std::uint64_t>::max());
}

// Places the first keys by hand in every attempt (an attempt is recognised by
// its seeds) and hashes the others.
struct EveryAttemptPlacement {
  std::vector<Placement> forced;  // for keys 0, 1, ...
  std::uint64_t attempt_seed = 0;
  std::size_t next = 0;

  Placement operator()(const ByteKey& key, const Seeds& seeds, std::uint64_t m) {
    if (seeds.a != attempt_seed) {
      attempt_seed = seeds.a;
      next = 0;
    }
    if (next < forced.size()) return forced[next++];
    return HashPlacement{}(key, seeds, m);
  }
};

// A loop, then for larger stores a triangle: a 2-core in every attempt.
std::vector<Placement> forced_core(std::size_t n) {
  if (n == 0) return {};
  if (n < 4) return {{0, 0, 0x5}, {0, 1, 0x30}};
  return {{3, 3, 0x9}, {0, 1, 0x12}, {1, 2, 0x80000001}, {0, 2, 0x400}};
}

template <class V>
void expect_decode_many_matches(const Paxos<V>& store, const std::vector<std::pair<ByteKey, V>>& pairs) {
  std::vector<ByteKey> keys;
  for (const auto& pair : pairs) keys.push_back(pair.first);
  if (!store.sparse.empty()) keys.push_back(ByteKey{"not a key of the store"});
  std::vector<V> out(keys.size());
  store.decode_many(keys, std::span<V>(out));
  for (std::size_t i = 0; i < pairs.size(); ++i) ASSERT_EQ(out[i], pairs[i].second) << i;
  if (!store.sparse.empty()) {
    EXPECT_EQ(out.back(), store.decode(keys.back()));
  }
}

// Every key decodes to its value, one at a time and in batches, a foreign key
// to something else, and the byte form round-trips, over fresh key sets per
// size, with hashed placements and with a 2-core forced into every attempt.
class OkvsPaxosRoundTrip : public ::testing::TestWithParam<std::pair<std::size_t, int>> {};

TEST_P(OkvsPaxosRoundTrip, EncodeDecodeAndBytes) {
  const auto [n, repeats] = GetParam();
  for (int rep = 0; rep < repeats; ++rep) {
    for (const bool with_core : {false, true}) {
      const Pairs pairs = make_pairs(n, "rt" + std::to_string(rep));
      const auto forced = with_core ? forced_core(n) : std::vector<Placement>{};
      const Store store = Store::encode<ByteKey>(pairs, EveryAttemptPlacement{forced});
      ASSERT_EQ(store.sparse.size(), sparse_size(n));
      ASSERT_EQ(store.dense.size(), 32u);
      const std::size_t placed_by_hand = std::min(forced.size(), pairs.size());
      for (std::size_t i = 0; i < placed_by_hand; ++i) {
        Value64 value = store.sparse[forced[i].a] ^ store.sparse[forced[i].b];
        xor_dense(value, std::span<const Value64>(store.dense), forced[i].dense_bits);
        ASSERT_EQ(value, pairs[i].second) << i;
      }
      const Pairs hashed(pairs.begin() + static_cast<std::ptrdiff_t>(placed_by_hand), pairs.end());
      expect_decodes(store, hashed);
      expect_decode_many_matches(store, hashed);

      const auto bytes = store.to_bytes();
      ASSERT_EQ(bytes.size(), 2072 + 64 * sparse_size(n));
      const Store back = Store::from_bytes(bytes);
      EXPECT_EQ(back, store);
      if (!hashed.empty()) {
        EXPECT_NE(store.decode(ByteKey{"not a key of the store"}), hashed[0].second);
        EXPECT_NE(store.decode(ByteKey{hashed[0].first.bytes + "x"}), hashed[0].second);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OkvsPaxosRoundTrip,
                         ::testing::Values(std::pair<std::size_t, int>{0, 5}, std::pair<std::size_t, int>{1, 300},
                                           std::pair<std::size_t, int>{2, 300}, std::pair<std::size_t, int>{5, 300},
                                           std::pair<std::size_t, int>{100, 50},
                                           std::pair<std::size_t, int>{10000, 3},
                                           std::pair<std::size_t, int>{100000, 1}),
                         [](const auto& info) {
                           std::string name = "n";
                           name += std::to_string(info.param.first);
                           return name;
                         });

// decode_many is decode key by key: block boundaries, an empty key list, and
// the failures of decode.
TEST(OkvsPaxos, DecodeManyIsDecodeKeyByKey) {
  const Pairs pairs = make_pairs(300, "many");
  const Store store = Store::encode(pairs);
  std::vector<ByteKey> keys;
  for (std::size_t i = 0; i < 2 * kDecodeBlock + 3; ++i) keys.push_back(pairs[(i * 37) % pairs.size()].first);
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, kDecodeBlock - 1, kDecodeBlock, kDecodeBlock + 1,
                            keys.size()}) {
    std::vector<Value64> out(count);
    store.decode_many(std::span<const ByteKey>(keys.data(), count), std::span<Value64>(out));
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(out[i], store.decode(keys[i])) << count << " " << i;
  }
  std::vector<Value64> out(2);
  EXPECT_EQ(failure_message([&] { store.decode_many(std::span<const ByteKey>(keys.data(), 3), std::span<Value64>(out)); }),
            "assertion `left == right` failed: keys and outputs differ in number\n  left: 3\n right: 2");

  const Store empty = Store::encode(Pairs{});
  std::vector<Value64> none;
  empty.decode_many(std::span<const ByteKey>(), std::span<Value64>(none));
  EXPECT_EQ(failure_message([&] { empty.decode_many(std::span<const ByteKey>(keys.data(), 1), std::span<Value64>(out).first(1)); }),
            "attempt to calculate the remainder with a divisor of zero");
  EXPECT_EQ(failure_message([&] { empty.decode(keys[0]); }), "attempt to calculate the remainder with a divisor of zero");
}

// Stores saved by the encoder as it was before its stages were split out
// (data/README.md) decode to the saved values, one at a time and in batches.
TEST(OkvsPaxos, SavedStoresStillDecode) {
  for (const char* name : {"store-n0.bin", "store-n1.bin", "store-n9.bin", "store-n1000.bin"}) {
    const auto saved = testing::read_saved_store(std::string(VORLINDE_OKVS_TEST_DATA) + "/" + name);
    const Store store = Store::from_bytes(saved.store_bytes);
    ASSERT_EQ(store.sparse.size(), sparse_size(saved.pairs.size())) << name;
    EXPECT_EQ(store.to_bytes(), saved.store_bytes);
    expect_decodes(store, saved.pairs);
    expect_decode_many_matches(store, saved.pairs);
  }
}

TEST(OkvsPaxos, WordValues) {
  const auto pairs = make_pairs<std::uint64_t>(500, "words");
  const auto store = Paxos<std::uint64_t>::encode<ByteKey>(pairs);
  expect_decodes(store, pairs);
  const auto bytes = store.to_bytes();
  ASSERT_EQ(bytes.size(), 24 + 8 * (sparse_size(500) + 32));
  EXPECT_EQ(Paxos<std::uint64_t>::from_bytes(bytes), store);
  EXPECT_EQ(failure_message([] { BitsTraits<std::uint64_t>::from_bytes(std::vector<std::uint8_t>(7)); }),
            "a 64-bit word needs exactly 8 bytes, got 7");
  EXPECT_TRUE(bit_at_is_set(std::vector<std::uint64_t>{0, 1ULL << 3}, 67));
  EXPECT_FALSE(bit_at_is_set(std::vector<std::uint64_t>{~0ULL ^ 8}, 3));
  EXPECT_EQ(failure_message([] { bit_at_is_set(std::vector<std::uint64_t>{~0ULL}, 64); }),
            "index out of bounds: the len is 1 but the index is 1");
}

// The byte layout read back field by field.
TEST(OkvsPaxos, ByteLayout) {
  const Pairs pairs = make_pairs(4, "layout");
  const Store store = Store::encode<ByteKey>(pairs);
  const auto bytes = store.to_bytes();
  const std::uint64_t seeds[3] = {store.seed_a, store.seed_b, store.seed_c};
  for (int s = 0; s < 3; ++s) {
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[8 * s + i], static_cast<std::uint8_t>(seeds[s] >> (8 * i)));
  }
  const std::size_t m = store.sparse.size();
  for (std::size_t i = 0; i < m; ++i) {
    EXPECT_TRUE(std::equal(store.sparse[i].b.begin(), store.sparse[i].b.end(), bytes.begin() + 24 + 64 * i));
  }
  for (std::size_t j = 0; j < 32; ++j) {
    EXPECT_TRUE(
        std::equal(store.dense[j].b.begin(), store.dense[j].b.end(), bytes.begin() + 24 + 64 * (m + j)));
  }
}

TEST(OkvsPaxos, EmptyStore) {
  const Store store = Store::encode<ByteKey>(Pairs{});
  EXPECT_TRUE(store.sparse.empty());
  const std::set<std::array<std::uint8_t, 64>> fillers{store.dense[0].b, store.dense[1].b, store.dense[31].b};
  EXPECT_EQ(fillers.size(), 3u);
  EXPECT_EQ(store.to_bytes().size(), 2072u);
  EXPECT_EQ(failure_message([&] { store.decode(ByteKey{""}); }), "attempt to calculate the remainder with a divisor of zero");
}

// Hashes with seeds of its own instead of the attempt's, so that repeated
// attempts place the keys identically; the keys may also be placed by hand.
struct FixedSeedPlacement {
  Seeds seeds;
  std::vector<Placement> forced;  // for keys 0, 1, ... in order of the calls
  std::size_t next = 0;

  Placement operator()(const ByteKey& key, const Seeds&, std::uint64_t m) {
    if (next < forced.size()) return forced[next++];
    return HashPlacement{}(key, seeds, m);
  }

  // Every key's value at its placement in `store`.
  template <class V>
  void expect_decodes(const Paxos<V>& store, const std::vector<std::pair<ByteKey, V>>& pairs) const {
    FixedSeedPlacement place{seeds, forced};
    for (const auto& [key, value] : pairs) {
      const Placement p = place(key, seeds, store.sparse.size());
      V got = store.sparse[p.a] ^ store.sparse[p.b];
      xor_dense(got, std::span<const V>(store.dense), p.dense_bits);
      ASSERT_EQ(got, value) << key.bytes;
    }
  }
};

// For the same placements both encoders accept and reject alike, for the same
// reason and with the same 2-core size; accepted stores decode every key, a
// key whose two slots coincide through its dense slots alone. Small m makes
// 2-cores with cycles and loops common. The 64-bit index width is run on the
// same placements.
TEST(OkvsPaxos, AttemptsAcceptAndFailLikeThePreviousEncoder) {
  struct Case {
    std::size_t n;
    std::uint64_t m;
    int attempts;
  };
  std::map<AttemptFailure, int> seen;
  int with_core = 0, with_loop = 0;
  for (const Case c : {Case{1, 1, 50}, Case{2, 2, 100}, Case{4, 4, 200}, Case{7, 6, 200}, Case{10, 12, 300},
                       Case{50, 120, 200}, Case{300, 560, 100}, Case{2000, 4800, 5}}) {
    for (int attempt = 0; attempt < c.attempts; ++attempt) {
      const auto pairs = make_pairs<std::uint64_t>(c.n, "oracle" + std::to_string(attempt));
      const std::span<const std::pair<ByteKey, std::uint64_t>> view(pairs);
      const Seeds seeds{runtime::next_u64(), runtime::next_u64(), runtime::next_u64()};
      FixedSeedPlacement p32{seeds, {}}, p64{seeds, {}}, previous{seeds, {}};
      using Words = Paxos<std::uint64_t>;
      const auto result = Words::try_encode_indexed<std::uint32_t, ByteKey>(view, c.m, p32);
      const auto wide = Words::try_encode_indexed<std::uint64_t, ByteKey>(view, c.m, p64);
      const auto expected = testing::previous_try_encode<std::uint64_t, ByteKey>(view, c.m, previous);
      ASSERT_EQ(result.failure, expected.failure) << c.n << " " << c.m;
      ASSERT_EQ(wide.failure, expected.failure);
      ASSERT_EQ(result.store.has_value(), expected.store.has_value());
      ++seen[expected.failure];
      if (expected.failure != AttemptFailure::slot_pair_taken) {
        ASSERT_EQ(result.core_edges, expected.core_edges);
        ASSERT_EQ(wide.core_edges, expected.core_edges);
      }
      if (!expected.store) continue;
      if (result.core_edges > 0) ++with_core;
      for (const auto* store : {&*result.store, &*wide.store}) {
        ASSERT_EQ(store->sparse.size(), c.m);
        ASSERT_EQ(store->dense.size(), 32u);
        p32.expect_decodes(*store, pairs);
      }
      for (const auto& [key, value] : pairs) {
        if (hash_to_index(key, seeds.a, c.m) != hash_to_index(key, seeds.b, c.m)) continue;
        ++with_loop;
        std::uint64_t dense_only = 0;
        const std::uint64_t bits = hash_to_bytes(key, seeds.c);
        for (std::uint64_t j = 0; j < 32; ++j) {
          if (bit_at_is_set(std::span(&bits, 1), j)) dense_only ^= result.store->dense[j];
        }
        EXPECT_EQ(dense_only, value);
      }
    }
  }
  EXPECT_GT(seen[AttemptFailure::none], 300);
  EXPECT_GT(seen[AttemptFailure::slot_pair_taken], 10);
  EXPECT_GT(seen[AttemptFailure::core_too_large], 10);
  EXPECT_GT(with_core, 150);
  EXPECT_GT(with_loop, 100);

  // Placed by hand, with the rest of ten keys on a matching that peels: a
  // dependent 2-core (two loops with equal dense bits, a cycle whose rows sum
  // to zero), a slot pair taken from either side, two loops on one slot, and
  // a solvable core for contrast.
  const std::vector<std::pair<std::vector<Placement>, AttemptFailure>> forced = {
      {{{0, 0, 0x5}, {1, 1, 0x5}}, AttemptFailure::core_dependent},
      {{{0, 1, 0x3}, {1, 2, 0x5}, {0, 2, 0x6}}, AttemptFailure::core_dependent},
      {{{2, 7, 1}, {7, 2, 2}}, AttemptFailure::slot_pair_taken},
      {{{4, 4, 1}, {4, 4, 2}}, AttemptFailure::slot_pair_taken},
      {{{0, 1, 0x3}, {1, 2, 0x5}, {0, 2, 0x7}, {3, 3, 0x8}}, AttemptFailure::none},
  };
  for (const auto& [placements, failure] : forced) {
    std::vector<Placement> all = placements;
    for (std::uint64_t i = all.size(); i < 10; ++i) all.push_back({6 + 2 * i, 7 + 2 * i, i});
    const auto pairs = make_pairs<std::uint64_t>(10, "forced");
    const std::span<const std::pair<ByteKey, std::uint64_t>> view(pairs);
    FixedSeedPlacement place{{}, all}, previous{{}, all};
    const std::uint64_t m = 40;
    const auto result = Paxos<std::uint64_t>::try_encode<ByteKey>(view, m, place);
    const auto expected = testing::previous_try_encode<std::uint64_t, ByteKey>(view, m, previous);
    EXPECT_EQ(expected.failure, failure);
    EXPECT_EQ(result.failure, failure);
    if (result.store) FixedSeedPlacement{{}, all}.expect_decodes(*result.store, pairs);
  }
}

// Rank over GF(2) of bit vectors (rows of 64-bit words).
std::size_t gf2_rank(std::vector<std::vector<std::uint64_t>> rows) {
  std::size_t rank = 0;
  const std::size_t bits = rows.empty() ? 0 : 64 * rows[0].size();
  for (std::size_t col = 0; col < bits && rank < rows.size(); ++col) {
    const auto has = [&](std::size_t r) { return (rows[r][col / 64] >> (col % 64)) & 1; };
    std::size_t k = rank;
    while (k < rows.size() && !has(k)) ++k;
    if (k == rows.size()) continue;
    std::swap(rows[rank], rows[k]);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (r != rank && has(r)) {
        for (std::size_t w = 0; w < rows[r].size(); ++w) rows[r][w] ^= rows[rank][w];
      }
    }
    ++rank;
  }
  return rank;
}

// The encoder fixes nothing that the keys do not fix: over many encodings of
// the same keys with the same placements, the differences between the stores
// span a space of dimension m + 32 - n over GF(2) (one per free variable; the
// system acts on every bit position alike, so bit 0 of each slot is looked at).
// An encoder that left free slots at a constant, or computed two of them
// from one draw, would span less.
TEST(OkvsPaxos, FreeSlotsSpanTheWholeSolutionSpace) {
  struct Case {
    std::size_t n;
    std::uint64_t m;
    std::vector<Placement> forced;  // for the first keys
  };
  // A triangle, a loop and a pendant edge on top of hashed keys: a 2-core of
  // four edges; then a plain store with an empty 2-core.
  const std::vector<Case> cases = {
      {40, 96, {{0, 1, 0x13}, {1, 2, 0x2c}, {0, 2, 0x41}, {5, 5, 0x80000006}, {2, 9, 0x7}}},
      {120, sparse_size(120), {}},
  };
  for (const Case& c : cases) {
    const auto pairs = make_pairs<std::uint64_t>(c.n, "span" + std::to_string(c.n));
    const std::span<const std::pair<ByteKey, std::uint64_t>> view(pairs);
    using Words = Paxos<std::uint64_t>;
    // Seeds under which these placements are accepted.
    std::optional<Seeds> seeds;
    std::size_t core = 0;
    for (int tries = 0; tries < 200 && !seeds; ++tries) {
      const Seeds s{runtime::next_u64(), runtime::next_u64(), runtime::next_u64()};
      FixedSeedPlacement place{s, c.forced};
      const auto attempt = Words::try_encode<ByteKey>(view, c.m, place);
      if (attempt.store) {
        seeds = s;
        core = attempt.core_edges;
      }
    }
    ASSERT_TRUE(seeds.has_value());
    if (!c.forced.empty()) {
      EXPECT_GE(core, 4u);
    }

    const std::size_t dimension = c.m + 32 - c.n;
    const std::size_t words = (c.m + 32 + 63) / 64;
    std::vector<std::uint64_t> first;
    std::vector<std::vector<std::uint64_t>> differences;
    for (std::size_t sample = 0; sample < dimension + 40; ++sample) {
      FixedSeedPlacement place{*seeds, c.forced};
      const auto attempt = Words::try_encode<ByteKey>(view, c.m, place);
      ASSERT_TRUE(attempt.store.has_value());
      place.expect_decodes(*attempt.store, pairs);
      std::vector<std::uint64_t> bit0(words);
      for (std::size_t i = 0; i < c.m + 32; ++i) {
        const std::uint64_t w = i < c.m ? attempt.store->sparse[i] : attempt.store->dense[i - c.m];
        bit0[i / 64] |= (w & 1) << (i % 64);
      }
      if (sample == 0) {
        first = bit0;
        continue;
      }
      for (std::size_t w = 0; w < words; ++w) bit0[w] ^= first[w];
      differences.push_back(std::move(bit0));
    }
    EXPECT_EQ(gf2_rank(differences), dimension) << c.n;
  }
}

struct FromBytesFailure {
  std::size_t length;
  const char* message;
};

class OkvsPaxosShortBytes : public ::testing::TestWithParam<FromBytesFailure> {};

// The store read in place parses alike and fails alike.
TEST_P(OkvsPaxosShortBytes, FailsNamingTheFirstBound) {
  const auto& p = GetParam();
  const std::vector<std::uint8_t> bytes(p.length);
  EXPECT_EQ(failure_message([&] { Store::from_bytes(bytes); }), p.message);
  EXPECT_EQ(failure_message([&] { PaxosView<Value64>{bytes}; }), p.message);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, OkvsPaxosShortBytes,
    ::testing::Values(FromBytesFailure{0, "range end index 8 out of range for slice of length 0"},
                      FromBytesFailure{7, "range end index 8 out of range for slice of length 7"},
                      FromBytesFailure{8, "range end index 16 out of range for slice of length 8"},
                      FromBytesFailure{23, "range end index 24 out of range for slice of length 23"},
                      FromBytesFailure{24, "slice index starts at 24 but ends at -2024"},
                      FromBytesFailure{2048, "slice index starts at 24 but ends at 0"},
                      FromBytesFailure{2071, "slice index starts at 24 but ends at 23"}),
    [](const auto& info) { return "len" + std::to_string(info.param.length); });

TEST(OkvsPaxos, FromBytesLengths) {
  std::vector<std::uint8_t> bytes(2072);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
  const Store empty = Store::from_bytes(bytes);
  EXPECT_TRUE(empty.sparse.empty());
  // bytes 8..15 (13 i + 1) read little-endian, by Python's int.from_bytes
  EXPECT_EQ(empty.seed_b, 0xc4b7aa9d90837669ULL);
  EXPECT_EQ(empty.dense[31].b[63], bytes[2071]);

  // 3 sparse values and r stray bytes in front of the dense part.
  const Store full = Store::encode<ByteKey>(make_pairs(1, "len"));
  const auto encoded = full.to_bytes();
  for (std::size_t r : {1, 40, 63}) {
    std::vector<std::uint8_t> padded(encoded.begin(), encoded.end() - 2048);
    padded.insert(padded.end(), r, 0xee);
    padded.insert(padded.end(), encoded.end() - 2048, encoded.end());
    EXPECT_EQ(Store::from_bytes(padded), full) << r;
  }
}

// Puts chosen keys on chosen slots in the first attempt (recognised by its
// seeds) and hashes normally from then on.
struct FirstAttemptPlacement {
  explicit FirstAttemptPlacement(std::vector<Placement> f) : forced(std::move(f)) {}

  std::vector<Placement> forced;  // for keys 0, 1, ...
  std::set<std::uint64_t> attempts_seen;
  std::optional<std::uint64_t> first;
  std::size_t next_key = 0;

  Placement operator()(const ByteKey& key, const Seeds& seeds, std::uint64_t m) {
    attempts_seen.insert(seeds.a);
    if (!first) first = seeds.a;
    if (seeds.a == *first && next_key < forced.size()) return forced[next_key++];
    return HashPlacement{}(key, seeds, m);
  }
};

TEST(OkvsPaxos, SlotPairCollisionRetries) {
  const Pairs pairs = make_pairs(10, "collide");
  const std::vector<Placement> forced = {{2, 7, 1}, {7, 2, 2}};
  FirstAttemptPlacement place(forced);
  EXPECT_EQ(Store::try_encode<ByteKey>(pairs, sparse_size(10), place).failure, AttemptFailure::slot_pair_taken);
  const Store store = Store::encode<ByteKey>(pairs, FirstAttemptPlacement(forced));
  expect_decodes(store, pairs);
}

// Two loops with the same dense bits give two equal rows: the 2-core system
// is dependent. That attempt fails like any other and the next one succeeds.
// The other keys of the first attempt form a matching, which peels.
TEST(OkvsPaxos, DependentCoreRetries) {
  const Pairs pairs = make_pairs(10, "dependent");
  std::vector<Placement> forced = {{0, 0, 0x5}, {1, 1, 0x5}};
  for (std::uint64_t i = 2; i < 10; ++i) forced.push_back({2 * i, 2 * i + 1, i});
  FirstAttemptPlacement probe(forced);
  const auto first = Store::try_encode<ByteKey>(pairs, sparse_size(10), probe);
  EXPECT_EQ(first.failure, AttemptFailure::core_dependent);
  EXPECT_EQ(first.core_edges, 2u);

  FirstAttemptPlacement place(forced);
  int tries = 0;
  const Store store = Store::encode<ByteKey>(pairs, [&](const ByteKey& k, const Seeds& s, std::uint64_t m) {
    ++tries;
    return place(k, s, m);
  });
  EXPECT_GE(place.attempts_seen.size(), 2u);
  EXPECT_GE(tries, 20);
  expect_decodes(store, pairs);
}

TEST(OkvsPaxos, DuplicateKeysFailInsteadOfHanging) {
  for (std::size_t n : {2, 3, 50}) {
    Pairs pairs = make_pairs(n, "dup");
    pairs.push_back({pairs[n / 2].first, random_value<Value64>()});
    EXPECT_EQ(failure_message([&] { Store::encode<ByteKey>(pairs); }),
              "could not encode the store: 1000 attempts failed; the keys are not distinct");
  }
}

// What the seeds a store keeps can tell about its keys: they are the first
// seeds whose attempt succeeded for this key set, so they are uniform seeds
// conditioned on an event of probability q (the attempt succeeding), which
// tells at most log2(1/q) bits about the keys. Measured on random key sets at
// the sizes banks use; docs/protocol.md quotes the bound.
TEST(OkvsPaxos, SeedsDependOnTheKeysByLessThanHalfABit) {
  for (const auto& [n, attempts] : {std::pair<std::size_t, int>{1000, 3000}, {20000, 300}}) {
    int failed = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      const auto pairs = make_pairs<std::uint64_t>(n, "seeds" + std::to_string(attempt));
      const std::span<const std::pair<ByteKey, std::uint64_t>> view(pairs);
      if (!Paxos<std::uint64_t>::try_encode<ByteKey>(view, sparse_size(n), HashPlacement{}).store) ++failed;
    }
    const double q = 1.0 - static_cast<double>(failed) / attempts;
    std::printf("n = %zu: %d of %d attempts failed, at most %.3f bits per store\n", n, failed, attempts,
                -std::log2(q));
    EXPECT_LT(-std::log2(q), 0.5) << n;
  }
}

}  // namespace
}  // namespace vorlinde::okvs

