#pragma once
// The probe-and-XOR-of-strings store. A key k with sparse slots a, b and dense
// bit word d satisfies
//   value(k) = sparse[a] ^ sparse[b] ^ XOR_{j < 32, bit j of d set} dense[j]
// (a = b makes the sparse terms cancel). Encoding places every key as an edge
// {a, b} of a cuckoo graph on the m sparse slots, peels the graph, solves the
// leftover 2-core (at most 8 edges) for its sparse and dense slots, assigns the
// peeled edges in reverse peel order, and fills every untouched slot with a
// random value, so the table by itself shows nothing of the keys it holds.
//
// Byte form: seed_a, seed_b, seed_c (8 bytes each, little-endian), the m
// sparse values, then the 32 dense values, each in its fixed-length byte form;
// m is not stored, it follows from the length.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/bounds.hpp"
#include "okvs/elimination.hpp"
#include "okvs/graph.hpp"
#include "okvs/hashable.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::okvs {

inline constexpr std::size_t kDenseSlots = 32;
inline constexpr std::size_t kMaxCoreEdges = 8;
inline constexpr std::size_t kSeedBytes = 24;
// How many keys ahead encoding prefetches graph lists and slots.
inline constexpr std::size_t kLookahead = 8;
// Consecutive failed attempts after which encode gives up. An attempt with
// distinct keys fails with a probability well below one half (for n = 2 about
// 1/12, less for larger n), so 1,000 failures in a row only happen when two
// keys share a byte string: then every attempt fails when adding the edges.
inline constexpr unsigned kMaxFailedAttempts = 1000;
// Encoding runs on the calling thread; its loops poll for cancellation every
// this many items (well under a millisecond of work).
inline constexpr std::uint32_t kPollEvery = 4096;

// m = ceil(2.4 n), computed in double precision and converted saturating
// (NaN or negative give 0). Equals (12 n + 4) div 5 for every n below 2^48.
inline std::uint64_t sparse_size(std::uint64_t n) {
  const double m = std::ceil(static_cast<double>(n) * 2.4);
  if (!(m > 0.0)) return 0;
  if (m >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(m);
}

struct Seeds {
  std::uint64_t a;  // first sparse slot
  std::uint64_t b;  // second sparse slot
  std::uint64_t c;  // dense bits
};

struct Placement {
  std::uint64_t a;
  std::uint64_t b;
  std::uint64_t dense_bits;  // bit j < 32 set: dense slot j belongs to the key
};

// The store's placement of a key: a = H(k, seed_a) mod m, b = H(k, seed_b) mod m,
// dense_bits = H(k, seed_c). The key byte string is built once for the three
// hashes. Failure: m = 0 (divisor zero).
struct HashPlacement {
  template <Hashable K>
  Placement operator()(const K& key, const Seeds& seeds, std::uint64_t m) const {
    const KeyBytes key_bytes(key);
    const std::span<const std::uint8_t> bytes = key_bytes.span();
    const std::uint64_t a = reduce_to_index(xxh3_64(bytes, seeds.a), m);
    const std::uint64_t b = reduce_to_index(xxh3_64(bytes, seeds.b), m);
    return Placement{a, b, xxh3_64(bytes, seeds.c)};
  }
};

enum class AttemptFailure {
  none,
  slot_pair_taken,  // two keys on one slot pair, or two loops on one slot
  core_too_large,   // more than kMaxCoreEdges edges survive peeling
  core_dependent,   // the 2-core's rows are linearly dependent over GF(2)
};

template <Bits V>
struct Paxos {
  using Traits = BitsTraits<V>;
  static constexpr std::size_t kValueBytes = Traits::byte_length;
  static constexpr std::size_t kDenseBytes = kDenseSlots * kValueBytes;

  std::uint64_t seed_a = 0;
  std::uint64_t seed_b = 0;
  std::uint64_t seed_c = 0;
  std::vector<V> sparse;
  std::vector<V> dense;

  struct Attempt {
    std::optional<Paxos> store;
    AttemptFailure failure = AttemptFailure::none;
    std::size_t core_edges = 0;  // edges left after peeling (when peeling was reached)
  };

  // Encodes the pairs; keys must have pairwise different byte strings.
  // Attempts start afresh with new seeds until one succeeds.
  // Failure: kMaxFailedAttempts attempts failing in a row (keys not distinct):
  // "could not encode the store: 1000 attempts failed; the keys are not distinct".
  template <Hashable K, class Place = HashPlacement>
  static Paxos encode(std::span<const std::pair<K, V>> pairs, Place place = {}) {
    const std::uint64_t m = sparse_size(pairs.size());
    for (unsigned failed = 0; failed < kMaxFailedAttempts; ++failed) {
      Attempt attempt = try_encode(pairs, m, place);
      if (attempt.store) return std::move(*attempt.store);
    }
    throw runtime::Failure("could not encode the store: " + std::to_string(kMaxFailedAttempts) +
                           " attempts failed; the keys are not distinct");
  }

  template <Hashable K, class Place = HashPlacement>
  static Paxos encode(const std::vector<std::pair<K, V>>& pairs, Place place = {}) {
    return encode<K>(std::span<const std::pair<K, V>>(pairs), std::move(place));
  }

  // One encoding attempt with m sparse slots (encode uses sparse_size(n)).
  // Draws seed_a, seed_b, seed_c in this order, then the random slot values.
  template <Hashable K, class Place = HashPlacement>
  static Attempt try_encode(std::span<const std::pair<K, V>> pairs, std::uint64_t m, Place&& place) {
    // An edge's payload is its pair's index: the value is read from the
    // pairs and the dense bits from dense_bits, which keeps list entries at
    // 16 bytes.
    using Graph = UndirectedGraph<std::size_t>;
    std::vector<std::uint64_t> dense_bits(pairs.size());

    Seeds seeds;
    seeds.a = runtime::next_u64();
    seeds.b = runtime::next_u64();
    seeds.c = runtime::next_u64();

    // All keys are placed first, in input order, so that the edges can be
    // added with the lists a few keys ahead already on their way from memory.
    runtime::CancellationTicker ticker(kPollEvery);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> slots(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      ticker.tick();
      const Placement p = place(pairs[i].first, std::as_const(seeds), m);
      slots[i] = {p.a, p.b};
      dense_bits[i] = p.dense_bits;
    }
    Graph graph(m);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      ticker.tick();
      if (i + kLookahead < pairs.size()) {
        graph.prefetch(slots[i + kLookahead].first);
        graph.prefetch(slots[i + kLookahead].second);
      }
      if (!graph.add_edge(slots[i].first, slots[i].second, i)) {
        return Attempt{std::nullopt, AttemptFailure::slot_pair_taken, 0};
      }
    }
    slots = {};

    // Peel: an edge taken from a vertex v of degree one is the only equation
    // on slot v, so it can be met by choosing slot v once everything else is
    // fixed; edges are stacked and assigned in reverse peel order. Taking the
    // edge may leave its other endpoint with degree one, so the chain is
    // followed from there.
    std::vector<std::pair<std::uint64_t, typename Graph::EdgeT>> peeled;
    peeled.reserve(pairs.size());
    for (std::uint64_t v = 0; v < m; ++v) {
      ticker.tick();
      std::uint64_t cur = v;
      while (auto e = graph.pop_only_edge(cur)) {
        const std::uint64_t next = e->to;
        peeled.emplace_back(cur, std::move(*e));
        cur = next;
      }
    }
    check_counts_equal(peeled.size() + graph.edge_count(), pairs.size(),
                       "peeled and 2-core edges do not add up to the keys");
    const std::size_t core_edges = graph.edge_count();
    if (core_edges > kMaxCoreEdges) return Attempt{std::nullopt, AttemptFailure::core_too_large, core_edges};

    // The 2-core system over the columns: sparse slots 0..m-1, dense slots
    // m..m+31. A loop's two sparse terms cancel.
    SparseBoolMatrix matrix(m + kDenseSlots);
    std::vector<V> rhs;
    rhs.reserve(core_edges);
    for (std::uint64_t i = 0; i < m && graph.edge_count() > 0; ++i) {
      while (auto e = graph.pop_edge(i)) {
        SparseBoolMatrix::Row row;
        if (e->to != i) row = {i, e->to};
        for (std::uint64_t bits = dense_bits[e->data] & 0xffffffffu; bits != 0; bits &= bits - 1) {
          row.insert(m + static_cast<std::uint64_t>(std::countr_zero(bits)));
        }
        matrix.push_row(std::move(row));
        rhs.push_back(pairs[e->data].second);
      }
    }
    auto solution = std::move(matrix).template try_solve_assigned<V>(std::move(rhs));
    if (!solution) return Attempt{std::nullopt, AttemptFailure::core_dependent, core_edges};

    Paxos store;
    store.seed_a = seeds.a;
    store.seed_b = seeds.b;
    store.seed_c = seeds.c;
    store.dense.reserve(kDenseSlots);
    for (std::uint64_t j = 0; j < kDenseSlots; ++j) {
      auto solved = solution->find(m + j);
      store.dense.push_back(solved != solution->end() ? solved->second : random_value<V>());
    }

    std::vector<V>& slot = store.sparse;
    slot.resize(m);
    std::vector<std::uint8_t> has_value(m, 0);
    for (auto& [col, value] : *solution) {
      if (col >= m) break;
      slot[col] = value;
      has_value[col] = 1;
    }
    // An edge (v, w) peeled from v: v's other edges were peeled earlier from
    // their other ends and are assigned later, so v is still free here.
    for (auto it = peeled.rbegin(); it != peeled.rend(); ++it) {
      ticker.tick();
      if (peeled.rend() - it > static_cast<std::ptrdiff_t>(kLookahead)) {
        const auto& ahead = it[kLookahead].second;
        __builtin_prefetch(&pairs[ahead.data].second);
        __builtin_prefetch(&slot[ahead.to]);
        __builtin_prefetch(reinterpret_cast<const char*>(&slot[ahead.to]) + sizeof(V) - 1);
        __builtin_prefetch(&has_value[ahead.to]);
      }
      const std::uint64_t v = it->first;
      const std::uint64_t w = it->second.to;
      V acc = pairs[it->second.data].second;
      xor_dense(acc, store.dense, dense_bits[it->second.data]);
      if (!has_value[w]) {
        slot[w] = random_value<V>();
        has_value[w] = 1;
      }
      acc ^= slot[w];
      slot[v] = std::move(acc);
      has_value[v] = 1;
    }
    for (std::uint64_t i = 0; i < m; ++i) {
      ticker.tick();
      if (!has_value[i]) slot[i] = random_value<V>();
    }
    return Attempt{std::move(store), AttemptFailure::none, core_edges};
  }

  // The value at key: three hashes and at most 33 XORs; m is the store's own
  // sparse size. Failures: an empty sparse part (divisor zero); a set dense
  // bit without its dense value (index out of bounds).
  template <Hashable K>
  V decode(const K& key) const {
    const Placement p = HashPlacement{}(key, Seeds{seed_a, seed_b, seed_c}, sparse.size());
    V result = sparse[p.a];
    result ^= sparse[p.b];
    xor_dense(result, dense, p.dense_bits);
    return result;
  }

  std::vector<std::uint8_t> to_bytes() const {
    std::vector<std::uint8_t> out(kSeedBytes + (sparse.size() + dense.size()) * kValueBytes);
    std::uint8_t* at = out.data();
    for (std::uint64_t seed : {seed_a, seed_b, seed_c}) {
      for (int i = 0; i < 8; ++i) *at++ = static_cast<std::uint8_t>(seed >> (8 * i));
    }
    for (const auto* part : {&sparse, &dense}) {
      for (const V& value : *part) {
        const auto bytes = Traits::to_bytes(value);
        std::memcpy(at, bytes.data(), kValueBytes);
        at += kValueBytes;
      }
    }
    return out;
  }

  // Parses the byte form of L bytes: m = (L - 24 - 32 * value length) div
  // value length; bytes that do not fill a last sparse value are ignored.
  // Failure, naming the first bound that does not fit:
  //   L < 24: "range end index {8, 16 or 24} out of range for slice of length {L}";
  //   otherwise, when the dense part overlaps the seeds, the sparse range
  //   [24, L - dense length) is reversed:
  //   "slice index starts at 24 but ends at {L - dense length}" (negative
  //   when L is shorter than the dense part alone).
  static Paxos from_bytes(std::span<const std::uint8_t> bytes) {
    const std::size_t length = bytes.size();
    for (std::size_t end = 8; end <= kSeedBytes; end += 8) {
      if (length < end) {
        throw runtime::Failure("range end index " + std::to_string(end) + " out of range for slice of length " +
                               std::to_string(length));
      }
    }
    if (length < kSeedBytes + kDenseBytes) {
      const long long end = static_cast<long long>(length) - static_cast<long long>(kDenseBytes);
      throw runtime::Failure("slice index starts at 24 but ends at " + std::to_string(end));
    }
    Paxos store;
    store.seed_a = read_u64(bytes.data());
    store.seed_b = read_u64(bytes.data() + 8);
    store.seed_c = read_u64(bytes.data() + 16);
    const std::size_t dense_at = length - kDenseBytes;
    const std::size_t m = (dense_at - kSeedBytes) / kValueBytes;
    store.sparse.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
      store.sparse.push_back(Traits::from_bytes(bytes.subspan(kSeedBytes + i * kValueBytes, kValueBytes)));
    }
    store.dense.reserve(kDenseSlots);
    for (std::size_t j = 0; j < kDenseSlots; ++j) {
      store.dense.push_back(Traits::from_bytes(bytes.subspan(dense_at + j * kValueBytes, kValueBytes)));
    }
    return store;
  }

  friend bool operator==(const Paxos&, const Paxos&) = default;

 private:
  // acc ^= dense[j] for every set bit j < 32 of bits. XOR commutes, so the
  // bits are visited lowest first without testing the clear ones.
  static void xor_dense(V& acc, const std::vector<V>& dense, std::uint64_t bits) {
    for (bits &= 0xffffffffu; bits != 0; bits &= bits - 1) {
      const auto j = static_cast<std::size_t>(std::countr_zero(bits));
      check_index(dense.size(), j);
      acc ^= dense[j];
    }
  }

  static std::uint64_t read_u64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
  }
};

// The store capability: what the protocol operations use of a store type S
// with keys K and values V.
template <class S, class K, class V>
concept Okvs = requires(std::span<const std::pair<K, V>> pairs, const S& store, const K& key,
                        std::span<const std::uint8_t> bytes) {
  { S::encode(pairs) } -> std::same_as<S>;
  { store.decode(key) } -> std::same_as<V>;
  { store.to_bytes() } -> std::same_as<std::vector<std::uint8_t>>;
  { S::from_bytes(bytes) } -> std::same_as<S>;
};

}  // namespace vorlinde::okvs
