#pragma once
// The probe-and-XOR-of-strings store. A key k with sparse slots a, b and dense
// bit word d satisfies
//   value(k) = sparse[a] ^ sparse[b] ^ XOR_{j < 32, bit j of d set} dense[j]
// (a = b makes the sparse terms cancel). Encoding (paxos_encoder.hpp) places
// every key as an edge {a, b} of a cuckoo graph on the m sparse slots, peels
// the graph, solves the leftover 2-core (at most 8 edges) for its sparse and
// dense slots, assigns the peeled edges in reverse peel order, and fills every
// untouched slot with a random value, so the table by itself shows nothing of
// the keys it holds.
//
// Byte form: seed_a, seed_b, seed_c (8 bytes each, little-endian), the m
// sparse values, then the 32 dense values, each in its fixed-length byte form;
// m is not stored, it follows from the length.

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
#include "okvs/hashable.hpp"
#include "okvs/peeling.hpp"
#include "okvs/schemes/paxos_encoder.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::okvs {

template <Bits V>
struct Paxos {
  using Traits = BitsTraits<V>;
  static constexpr std::size_t kValueBytes = Traits::byte_length;
  static constexpr std::size_t kDenseBytes = kDenseSlots * kValueBytes;

  std::uint64_t seed_a = 0;
  std::uint64_t seed_b = 0;
  std::uint64_t seed_c = 0;
  SlotVector<V> sparse;
  SlotVector<V> dense;

  struct Attempt {
    std::optional<Paxos> store;
    AttemptFailure failure = AttemptFailure::none;
    std::size_t core_edges = 0;  // edges left after peeling, repeated ones included
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
  // Runs with 32-bit vertex and edge numbers whenever they fit (degrees, up
  // to twice the number of keys, included).
  template <Hashable K, class Place = HashPlacement>
  static Attempt try_encode(std::span<const std::pair<K, V>> pairs, std::uint64_t m, Place&& place) {
    if (m <= UINT32_MAX && pairs.size() <= UINT32_MAX / 2) return try_encode_indexed<std::uint32_t, K>(pairs, m, place);
    return try_encode_indexed<std::uint64_t, K>(pairs, m, place);
  }

  // try_encode with the given width of vertex and edge numbers, which must
  // hold m and twice the number of pairs. The stages in order:
  //   place_keys    every key's two sparse slots and dense bits;
  //   tally_edges   the cuckoo graph as per-vertex degrees and edge XORs;
  //   peel          the edges that can be met by choosing one slot last;
  //   solve_core    the 2-core's system (repeated slot pairs, size, rank);
  //   back_fill     dense slots, peeled edges in reverse, random free slots.
  // An attempt fails, and only fails, when two keys share a slot pair or a
  // loop slot, when more than kMaxCoreEdges edges survive peeling, or when the
  // 2-core's rows are dependent. Given the seeds, an accepted store is
  // uniform over the stores that decode every key to its value: every slot
  // that the keys leave free holds a fresh random value.
  template <std::unsigned_integral Index, Hashable K, class Place>
  static Attempt try_encode_indexed(std::span<const std::pair<K, V>> pairs, std::uint64_t m, Place& place) {
    Seeds seeds;
    seeds.a = runtime::next_u64();
    seeds.b = runtime::next_u64();
    seeds.c = runtime::next_u64();

    runtime::CancellationTicker ticker(kPollEvery);
    Table<EdgeEnds<Index>> edges = place_keys<Index>(pairs, std::as_const(seeds), m, place, ticker);
    Table<PeeledEdge<Index>> order;
    {
      auto tally = tally_edges<Index>(edges, m, ticker);
      order = peel<Index>(tally, edges, ticker);
    }
    const auto value_at = [&](std::size_t e) -> const V& { return pairs[e].second; };
    const std::vector<Index> core = core_edges<Index>(order, pairs.size());
    auto solved = solve_core<V, Index>(core, edges, value_at, m);
    if (solved.failure != AttemptFailure::none) return Attempt{std::nullopt, solved.failure, core.size()};
    edges = {};

    Paxos store;
    store.seed_a = seeds.a;
    store.seed_b = seeds.b;
    store.seed_c = seeds.c;
    back_fill<V, Index>(order, value_at, std::move(solved.values), m, store.sparse, store.dense,
                        ticker);
    return Attempt{std::move(store), AttemptFailure::none, core.size()};
  }

  // The value at key: three hashes and at most 33 XORs; m is the store's own
  // sparse size. Failures: an empty sparse part (divisor zero); a set dense
  // bit without its dense value (index out of bounds).
  template <Hashable K>
  V decode(const K& key) const {
    const Placement p = HashPlacement{}(key, Seeds{seed_a, seed_b, seed_c}, sparse.size());
    V result = sparse[p.a];
    result ^= sparse[p.b];
    xor_dense(result, std::span<const V>(dense), p.dense_bits);
    return result;
  }

  // out[i] = decode(keys[i]) for every i, with the same failures (the first
  // key that fails decides the message; `out` is then unspecified). Keys are
  // hashed a block at a time and their sparse slots loaded together, so that
  // the block's memory accesses overlap.
  // Failure: out and keys of different lengths (equality assertion).
  template <Hashable K>
  void decode_many(std::span<const K> keys, std::span<V> out) const {
    check_counts_equal(keys.size(), out.size(), "keys and outputs differ in number");
    const Seeds seeds{seed_a, seed_b, seed_c};
    const std::span<const V> dense_part(dense);
    for (std::size_t begin = 0; begin < keys.size(); begin += kDecodeBlock) {
      const std::size_t count = std::min(kDecodeBlock, keys.size() - begin);
      Placement placed[kDecodeBlock];
      for (std::size_t i = 0; i < count; ++i) {
        placed[i] = HashPlacement{}(keys[begin + i], seeds, sparse.size());
        prefetch_value(sparse[placed[i].a]);
        prefetch_value(sparse[placed[i].b]);
      }
      for (std::size_t i = 0; i < count; ++i) {
        V result = sparse[placed[i].a];
        result ^= sparse[placed[i].b];
        xor_dense(result, dense_part, placed[i].dense_bits);
        out[begin + i] = std::move(result);
      }
    }
  }

  template <Hashable K>
  void decode_many(const std::vector<K>& keys, std::span<V> out) const {
    decode_many(std::span<const K>(keys), out);
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
  { store.decode_many(std::span<const K>(), std::span<V>()) } -> std::same_as<void>;
  { store.to_bytes() } -> std::same_as<std::vector<std::uint8_t>>;
  { S::from_bytes(bytes) } -> std::same_as<S>;
};

}  // namespace vorlinde::okvs
