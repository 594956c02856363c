#include "okvs/schemes/paxos.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "okvs_reference.hpp"
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

// Every key decodes to its value, a foreign key to something else, and the
// byte form round-trips, over many fresh key sets per size.
class OkvsPaxosRoundTrip : public ::testing::TestWithParam<std::pair<std::size_t, int>> {};

TEST_P(OkvsPaxosRoundTrip, EncodeDecodeAndBytes) {
  const auto [n, repeats] = GetParam();
  for (int rep = 0; rep < repeats; ++rep) {
    const Pairs pairs = make_pairs(n, "rt" + std::to_string(rep));
    const Store store = Store::encode(pairs);  // K deduced from the pair list
    ASSERT_EQ(store.sparse.size(), sparse_size(n));
    ASSERT_EQ(store.dense.size(), 32u);
    expect_decodes(store, pairs);

    const auto bytes = store.to_bytes();
    ASSERT_EQ(bytes.size(), 2072 + 64 * sparse_size(n));
    const Store back = Store::from_bytes(bytes);
    EXPECT_EQ(back, store);
    if (n > 0) {
      EXPECT_NE(store.decode(ByteKey{"not a key of the store"}), pairs[0].second);
      EXPECT_NE(store.decode(ByteKey{pairs[0].first.bytes + "x"}), pairs[0].second);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OkvsPaxosRoundTrip,
                         ::testing::Values(std::pair<std::size_t, int>{0, 5}, std::pair<std::size_t, int>{1, 300},
                                           std::pair<std::size_t, int>{2, 300}, std::pair<std::size_t, int>{5, 300},
                                           std::pair<std::size_t, int>{100, 50},
                                           std::pair<std::size_t, int>{10000, 3}),
                         [](const auto& info) {
                           std::string name = "n";
                           name += std::to_string(info.param.first);
                           return name;
                         });

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

// Literal transcription of one encoding attempt, kept as an oracle for the
// order of everything that decides the bytes: edge insertion, the peel order
// (vertices ascending, chains followed, mirrors swapped with the last entry),
// the 2-core rows (loops first, lists from the back), the solve, and the order
// of the random draws (solve, then dense slots, then peeled slots, then the
// untouched sparse slots). Values are Scripted words, so the draws are R(1),
// R(2), ...
struct ReferenceGraph {
  using Entry = std::pair<std::uint64_t, std::size_t>;  // (to, pair index)
  std::vector<std::vector<Entry>> adj;
  std::map<std::uint64_t, std::size_t> loops;
  std::size_t edges = 0;

  bool add(std::uint64_t u, std::uint64_t v, std::size_t idx) {
    for (const auto& e : adj[u]) {
      if (e.first == v) return false;
    }
    if (u == v) {
      if (loops.count(u)) return false;
      loops[u] = idx;
    } else {
      adj[u].push_back({v, idx});
      adj[v].push_back({u, idx});
    }
    ++edges;
    return true;
  }
  void unmirror(std::uint64_t w, std::uint64_t v) {
    auto& l = adj[w];
    auto it = std::find_if(l.begin(), l.end(), [&](const Entry& e) { return e.first == v; });
    *it = l.back();
    l.pop_back();
  }
  std::optional<Entry> pop_only(std::uint64_t v) {
    if (adj[v].size() != 1 || loops.count(v)) return std::nullopt;
    Entry e = adj[v].back();
    adj[v].pop_back();
    unmirror(e.first, v);
    --edges;
    return e;
  }
  std::optional<Entry> pop(std::uint64_t v) {
    if (auto it = loops.find(v); it != loops.end()) {
      Entry e{v, it->second};
      loops.erase(it);
      --edges;
      return e;
    }
    if (adj[v].empty()) return std::nullopt;
    Entry e = adj[v].back();
    adj[v].pop_back();
    unmirror(e.first, v);
    --edges;
    return e;
  }
};

struct ReferenceStore {
  std::vector<std::uint64_t> sparse, dense;
};

std::optional<ReferenceStore> reference_encode(const std::vector<std::pair<ByteKey, testing::Scripted>>& pairs,
                                               const Seeds& seeds, std::uint64_t m) {
  const std::size_t n = pairs.size();
  std::vector<std::uint64_t> bits(n);
  ReferenceGraph g{std::vector<std::vector<ReferenceGraph::Entry>>(m), {}, 0};
  for (std::size_t i = 0; i < n; ++i) {
    const auto& key = pairs[i].first;
    bits[i] = hash_to_bytes(key, seeds.c);
    if (!g.add(hash_to_index(key, seeds.a, m), hash_to_index(key, seeds.b, m), i)) return std::nullopt;
  }
  std::vector<std::pair<std::uint64_t, ReferenceGraph::Entry>> stack;
  for (std::uint64_t v = 0; v < m; ++v) {
    std::uint64_t cur = v;
    while (auto e = g.pop_only(cur)) {
      stack.push_back({cur, *e});
      cur = e->first;
    }
  }
  if (g.edges > 8) return std::nullopt;
  testing::Rows rows;
  std::vector<std::uint64_t> rhs;
  for (std::uint64_t i = 0; i < m; ++i) {
    while (auto e = g.pop(i)) {
      SparseBoolMatrix::Row row;
      if (e->first != i) row = {i, e->first};
      for (std::uint64_t j = 0; j < 32; ++j) {
        if ((bits[e->second] >> j) & 1) row.insert(m + j);
      }
      rows.push_back(row);
      rhs.push_back(pairs[e->second].second.w);
    }
  }
  int draws = 0;
  auto x = testing::reference_solve(m + 32, rows, rhs, draws);
  if (!x) return std::nullopt;
  ReferenceStore out;
  for (std::uint64_t j = 0; j < 32; ++j) out.dense.push_back((*x)[m + j] ? *(*x)[m + j] : testing::Scripted::r(++draws));
  std::vector<std::optional<std::uint64_t>> slot(x->begin(), x->begin() + static_cast<std::ptrdiff_t>(m));
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    const auto [v, e] = *it;
    std::uint64_t acc = pairs[e.second].second.w;
    for (std::uint64_t j = 0; j < 32; ++j) {
      if ((bits[e.second] >> j) & 1) acc ^= out.dense[j];
    }
    if (!slot[e.first]) slot[e.first] = testing::Scripted::r(++draws);
    slot[v] = acc ^ *slot[e.first];
  }
  for (auto& s : slot) out.sparse.push_back(s ? *s : testing::Scripted::r(++draws));
  return out;
}

// Every attempt, accepted or not, must match the oracle; accepted stores must
// decode every key. Small m makes 2-cores with cycles and loops common; a key
// whose two slots coincide decodes through its dense slots alone.
TEST(OkvsPaxos, AttemptsMatchLiteralOracle) {
  using testing::Scripted;
  struct Case {
    std::size_t n;
    std::uint64_t m;
    int attempts;
  };
  int compared = 0, with_core = 0, with_loop = 0, failed = 0;
  for (const Case c : {Case{1, 1, 50}, Case{2, 2, 100}, Case{4, 4, 200}, Case{7, 6, 200}, Case{10, 12, 200},
                       Case{50, 120, 100}, Case{2000, 4800, 5}}) {
    for (int attempt = 0; attempt < c.attempts; ++attempt) {
      std::vector<std::pair<ByteKey, Scripted>> pairs;
      for (std::size_t i = 0; i < c.n; ++i) {
        pairs.push_back({ByteKey{"oracle" + std::to_string(attempt) + "." + std::to_string(i)},
                         Scripted{0x5bd1e995ULL * (i + 1)}});
      }
      Seeds seen{};
      auto recording = [&](const ByteKey& key, const Seeds& seeds, std::uint64_t m) {
        seen = seeds;
        return HashPlacement{}(key, seeds, m);
      };
      Scripted::draws = 0;
      const auto result = Paxos<Scripted>::try_encode<ByteKey>(pairs, c.m, recording);
      const auto expected = reference_encode(pairs, seen, c.m);
      ASSERT_EQ(result.store.has_value(), expected.has_value());
      if (!expected) {
        ++failed;
        continue;
      }
      const auto& store = *result.store;
      ++compared;
      if (result.core_edges > 0) ++with_core;
      ASSERT_EQ(store.sparse.size(), expected->sparse.size());
      for (std::size_t i = 0; i < expected->sparse.size(); ++i) ASSERT_EQ(store.sparse[i].w, expected->sparse[i]);
      for (std::size_t j = 0; j < 32; ++j) ASSERT_EQ(store.dense[j].w, expected->dense[j]);
      expect_decodes(store, pairs);
      for (const auto& [key, value] : pairs) {
        if (hash_to_index(key, store.seed_a, c.m) != hash_to_index(key, store.seed_b, c.m)) continue;
        ++with_loop;
        std::uint64_t dense_only = 0;
        const std::uint64_t bits = hash_to_bytes(key, store.seed_c);
        for (std::uint64_t j = 0; j < 32; ++j) {
          if (bit_at_is_set(std::span(&bits, 1), j)) dense_only ^= store.dense[j].w;
        }
        EXPECT_EQ(dense_only, value.w);
      }
    }
  }
  EXPECT_GT(compared, 300);
  EXPECT_GT(with_core, 150);
  EXPECT_GT(with_loop, 100);
  EXPECT_GT(failed, 10);
}

struct FromBytesFailure {
  std::size_t length;
  const char* message;
};

class OkvsPaxosShortBytes : public ::testing::TestWithParam<FromBytesFailure> {};

TEST_P(OkvsPaxosShortBytes, FailsNamingTheFirstBound) {
  const auto& p = GetParam();
  EXPECT_EQ(failure_message([&] { Store::from_bytes(std::vector<std::uint8_t>(p.length)); }), p.message);
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

}  // namespace
}  // namespace vorlinde::okvs
