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
// m is not stored, it follows from the length. PaxosView looks keys up in that
// form where it lies; Paxos::from_bytes copies it into an owned store.

#include <algorithm>
#include <array>
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

// The byte form's parts, once its length is known to hold them: m whole
// sparse values start at kSeedBytes, the dense part is the last
// kDenseSlots * value_bytes bytes. Bytes between the last whole sparse value
// and the dense part are ignored.
struct PaxosLayout {
  Seeds seeds;
  std::size_t sparse_count;
  std::size_t dense_at;
};

// Parses the byte form of L bytes: m = (L - 24 - 32 * value length) div
// value length.
// Failure, naming the first bound that does not fit:
//   L < 24: "range end index {8, 16 or 24} out of range for slice of length {L}";
//   otherwise, when the dense part overlaps the seeds, the sparse range
//   [24, L - dense length) is reversed:
//   "slice index starts at 24 but ends at {L - dense length}" (negative
//   when L is shorter than the dense part alone).
inline PaxosLayout parse_paxos_layout(std::span<const std::uint8_t> bytes, std::size_t value_bytes) {
  const std::size_t length = bytes.size();
  for (std::size_t end = 8; end <= kSeedBytes; end += 8) {
    if (length < end) {
      throw runtime::Failure("range end index " + std::to_string(end) + " out of range for slice of length " +
                             std::to_string(length));
    }
  }
  const std::size_t dense_bytes = kDenseSlots * value_bytes;
  if (length < kSeedBytes + dense_bytes) {
    const long long end = static_cast<long long>(length) - static_cast<long long>(dense_bytes);
    throw runtime::Failure("slice index starts at 24 but ends at " + std::to_string(end));
  }
  const auto read_u64 = [&](std::size_t at) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
    return v;
  };
  const std::size_t dense_at = length - dense_bytes;
  return PaxosLayout{Seeds{read_u64(0), read_u64(8), read_u64(16)}, (dense_at - kSeedBytes) / value_bytes,
                     dense_at};
}

// Sparse slots read in place: slot i is the value whose byte form is bytes
// [i L, i L + L) of `bytes` (L the value length). Reading a slot decodes its
// bytes; nothing is copied ahead.
template <Bits V>
struct SlotBytes {
  static constexpr std::size_t kValueBytes = BitsTraits<V>::byte_length;
  std::span<const std::uint8_t> bytes;  // exactly count * kValueBytes

  std::size_t size() const { return bytes.size() / kValueBytes; }
  bool empty() const { return bytes.empty(); }
  V operator[](std::size_t i) const { return BitsTraits<V>::from_bytes(bytes.subspan(i * kValueBytes, kValueBytes)); }
  friend void prefetch_slot(const SlotBytes& slots, std::size_t i) {
    prefetch_bytes(slots.bytes.data() + i * kValueBytes, kValueBytes);
  }
};

template <class V>
void prefetch_slot(const SlotVector<V>& slots, std::size_t i) {
  prefetch_value(slots[i]);
}

// The value of the key placed at p: sparse[p.a] ^ sparse[p.b] ^ the dense
// values of p's bits. Failure: a set dense bit without its dense value
// (index out of bounds).
template <Bits V, class Sparse>
V value_at_placement(const Sparse& sparse, std::span<const V> dense, const Placement& p) {
  V result = sparse[p.a];
  result ^= sparse[p.b];
  xor_dense(result, dense, p.dense_bits);
  return result;
}

// out[i] = the value at keys[i] for every i. Keys are hashed a block at a time
// and their sparse slots loaded together, so that the block's memory
// accesses overlap. Failures: those of value_at_placement; an empty sparse
// part with any key (divisor zero); out and keys of different lengths
// (equality assertion). The first key that fails decides the message; `out`
// is then unspecified.
template <Bits V, Hashable K, class Sparse>
void decode_placed_many(const Seeds& seeds, const Sparse& sparse, std::span<const V> dense, std::span<const K> keys,
                        std::span<V> out) {
  check_counts_equal(keys.size(), out.size(), "keys and outputs differ in number");
  for (std::size_t begin = 0; begin < keys.size(); begin += kDecodeBlock) {
    const std::size_t count = std::min(kDecodeBlock, keys.size() - begin);
    Placement placed[kDecodeBlock];
    for (std::size_t i = 0; i < count; ++i) {
      placed[i] = HashPlacement{}(keys[begin + i], seeds, sparse.size());
      prefetch_slot(sparse, placed[i].a);
      prefetch_slot(sparse, placed[i].b);
    }
    for (std::size_t i = 0; i < count; ++i) out[begin + i] = value_at_placement(sparse, dense, placed[i]);
  }
}

// A store looked up where its byte form lies, without copying its sparse
// part (only the 32 dense values are decoded, once). The bytes must stay
// alive and unchanged while the view is used. Decodes every key to what
// Paxos::from_bytes of the same bytes decodes it to, with the same failures.
template <Bits V>
class PaxosView {
 public:
  static constexpr std::size_t kValueBytes = BitsTraits<V>::byte_length;

  // Failures: those of parse_paxos_layout, with the same messages.
  explicit PaxosView(std::span<const std::uint8_t> bytes) {
    const PaxosLayout layout = parse_paxos_layout(bytes, kValueBytes);
    seeds_ = layout.seeds;
    sparse_.bytes = bytes.subspan(kSeedBytes, layout.sparse_count * kValueBytes);
    const SlotBytes<V> dense{bytes.subspan(layout.dense_at)};
    for (std::size_t j = 0; j < kDenseSlots; ++j) dense_[j] = dense[j];
  }

  const Seeds& seeds() const { return seeds_; }
  const SlotBytes<V>& sparse() const { return sparse_; }
  std::span<const V> dense() const { return dense_; }

  // The value at key. Failures: an empty sparse part (divisor zero).
  template <Hashable K>
  V decode(const K& key) const {
    return value_at_placement(sparse_, dense(), HashPlacement{}(key, seeds_, sparse_.size()));
  }

  // out[i] = decode(keys[i]) for every i; the failures of decode_placed_many.
  template <Hashable K>
  void decode_many(std::span<const K> keys, std::span<V> out) const {
    decode_placed_many(seeds_, sparse_, dense(), keys, out);
  }

  template <Hashable K>
  void decode_many(const std::vector<K>& keys, std::span<V> out) const {
    decode_many(std::span<const K>(keys), out);
  }

 private:
  Seeds seeds_{};
  SlotBytes<V> sparse_;
  std::array<V, kDenseSlots> dense_{};
};

template <Bits V>
struct Paxos {
  using Traits = BitsTraits<V>;
  static constexpr std::size_t kValueBytes = Traits::byte_length;

  std::uint64_t seed_a = 0;
  std::uint64_t seed_b = 0;
  std::uint64_t seed_c = 0;
  SlotVector<V> sparse;
  SlotVector<V> dense;

  // The values of a list of pairs, as the encoder reads them.
  template <class K>
  struct PairValues {
    std::span<const std::pair<K, V>> pairs;
    std::size_t size() const { return pairs.size(); }
    const V& operator[](std::size_t i) const { return pairs[i].second; }
  };

  struct Attempt {
    std::optional<Paxos> store;
    AttemptFailure failure = AttemptFailure::none;
    std::size_t core_edges = 0;  // edges left after peeling, repeated ones included
  };

  // An attempt whose slots are written where the caller says: seeds only
  // when it succeeded.
  struct Placed {
    std::optional<Seeds> seeds;
    AttemptFailure failure = AttemptFailure::none;
    std::size_t core_edges = 0;
  };

  // Where an accepted attempt writes its slots: m sparse, kDenseSlots dense.
  struct Slots {
    std::span<V> sparse;
    std::span<V> dense;
  };

  // Slots in the store's own tables, laid out when an attempt succeeds.
  static auto owned_slots(Paxos& store) {
    return [&store](std::uint64_t m) {
      store.sparse.assign(m, V{});
      store.dense.assign(kDenseSlots, V{});
      return Slots{std::span<V>(store.sparse), std::span<V>(store.dense)};
    };
  }

  // The byte form's length for n keys.
  static std::size_t byte_size(std::size_t n) {
    return kSeedBytes + (static_cast<std::size_t>(sparse_size(n)) + kDenseSlots) * kValueBytes;
  }

  // Encodes the pairs; keys must have pairwise different byte strings.
  // Attempts start afresh with new seeds until one succeeds.
  // Failure: kMaxFailedAttempts attempts failing in a row (keys not distinct):
  // "could not encode the store: 1000 attempts failed; the keys are not distinct".
  template <Hashable K, class Place = HashPlacement>
  static Paxos encode(std::span<const std::pair<K, V>> pairs, Place place = {}) {
    Paxos store;
    const Seeds seeds = encode_into(PairKeys<K, V>{pairs}, PairValues<K>{pairs}, owned_slots(store), place);
    store.seed_a = seeds.a;
    store.seed_b = seeds.b;
    store.seed_c = seeds.c;
    return store;
  }

  template <Hashable K, class Place = HashPlacement>
  static Paxos encode(const std::vector<std::pair<K, V>>& pairs, Place place = {}) {
    return encode<K>(std::span<const std::pair<K, V>>(pairs), std::move(place));
  }

  // encode with keys[i] mapped to values[i] (both indexed: size(),
  // operator[]); an attempt reads values[i] at most once, so a source may
  // hand out a fresh value at each read when any value will do for any key.
  // The slots are written into slots_for(m) -> Slots, called once,
  // when an attempt has succeeded, so nothing of the store exists before.
  // Returns the seeds. Failures: those of encode; keys and values of
  // different counts (equality assertion); whatever slots_for throws.
  template <class Keys, class Values, class SlotsFor, class Place = HashPlacement>
  static Seeds encode_into(const Keys& keys, Values&& values, SlotsFor&& slots_for, Place&& place = {}) {
    check_counts_equal(keys.size(), values.size(), "keys and values differ in number");
    const std::uint64_t m = sparse_size(keys.size());
    for (unsigned failed = 0; failed < kMaxFailedAttempts; ++failed) {
      const Placed attempt = try_encode_into(keys, values, m, place, slots_for);
      if (attempt.seeds) return *attempt.seeds;
    }
    throw runtime::Failure("could not encode the store: " + std::to_string(kMaxFailedAttempts) +
                           " attempts failed; the keys are not distinct");
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

  template <class Keys, class Values, class Place, class SlotsFor>
  static Placed try_encode_into(const Keys& keys, Values& values, std::uint64_t m, Place& place,
                                SlotsFor& slots_for) {
    if (m <= UINT32_MAX && keys.size() <= UINT32_MAX / 2) {
      return try_encode_indexed_into<std::uint32_t>(keys, values, m, place, slots_for);
    }
    return try_encode_indexed_into<std::uint64_t>(keys, values, m, place, slots_for);
  }

  // try_encode with the given width of vertex and edge numbers, into a store
  // of its own.
  template <std::unsigned_integral Index, Hashable K, class Place>
  static Attempt try_encode_indexed(std::span<const std::pair<K, V>> pairs, std::uint64_t m, Place& place) {
    Paxos store;
    auto slots_for = owned_slots(store);
    PairValues<K> values{pairs};
    const Placed placed = try_encode_indexed_into<Index>(PairKeys<K, V>{pairs}, values, m, place, slots_for);
    if (!placed.seeds) return Attempt{std::nullopt, placed.failure, placed.core_edges};
    store.seed_a = placed.seeds->a;
    store.seed_b = placed.seeds->b;
    store.seed_c = placed.seeds->c;
    return Attempt{std::move(store), AttemptFailure::none, placed.core_edges};
  }

  // One attempt with the given width of vertex and edge numbers, which must
  // hold m and twice the number of keys. The stages in order:
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
  template <std::unsigned_integral Index, class Keys, class Values, class Place, class SlotsFor>
  static Placed try_encode_indexed_into(const Keys& keys, Values& values, std::uint64_t m, Place& place,
                                        SlotsFor& slots_for) {
    Seeds seeds;
    seeds.a = runtime::next_u64();
    seeds.b = runtime::next_u64();
    seeds.c = runtime::next_u64();

    runtime::CancellationTicker ticker(kPollEvery);
    Table<EdgeEnds<Index>> edges = place_keys<Index>(keys, std::as_const(seeds), m, place, ticker);
    Table<PeeledEdge<Index>> order;
    {
      auto tally = tally_edges<Index>(edges, m, ticker);
      order = peel<Index>(tally, edges, ticker);
    }
    const auto value_at = [&](std::size_t e) -> V { return values[e]; };
    const std::vector<Index> core = core_edges<Index>(order, keys.size());
    auto solved = solve_core<V, Index>(core, edges, value_at, m);
    if (solved.failure != AttemptFailure::none) return Placed{std::nullopt, solved.failure, core.size()};
    edges = {};

    const Slots slots = slots_for(m);
    back_fill<V, Index>(order, values, std::move(solved.values), m, slots.sparse, slots.dense, ticker);
    return Placed{seeds, AttemptFailure::none, core.size()};
  }

  // The seeds' byte form: seed_a, seed_b, seed_c, 8 bytes each, little-endian.
  static void write_seeds(const Seeds& seeds, std::span<std::uint8_t, kSeedBytes> out) {
    std::size_t at = 0;
    for (std::uint64_t seed : {seeds.a, seeds.b, seeds.c}) {
      for (int i = 0; i < 8; ++i) out[at++] = static_cast<std::uint8_t>(seed >> (8 * i));
    }
  }

  // The value at key: three hashes and at most 33 XORs; m is the store's own
  // sparse size. Failures: an empty sparse part (divisor zero); a set dense
  // bit without its dense value (index out of bounds).
  template <Hashable K>
  V decode(const K& key) const {
    return value_at_placement(sparse, std::span<const V>(dense),
                              HashPlacement{}(key, Seeds{seed_a, seed_b, seed_c}, sparse.size()));
  }

  // out[i] = decode(keys[i]) for every i, hashed and loaded a block at a time
  // (decode_placed_many), with the same failures.
  template <Hashable K>
  void decode_many(std::span<const K> keys, std::span<V> out) const {
    decode_placed_many(Seeds{seed_a, seed_b, seed_c}, sparse, std::span<const V>(dense), keys, out);
  }

  template <Hashable K>
  void decode_many(const std::vector<K>& keys, std::span<V> out) const {
    decode_many(std::span<const K>(keys), out);
  }

  std::vector<std::uint8_t> to_bytes() const {
    std::vector<std::uint8_t> out(kSeedBytes + (sparse.size() + dense.size()) * kValueBytes);
    write_seeds(Seeds{seed_a, seed_b, seed_c}, std::span<std::uint8_t, kSeedBytes>(out.data(), kSeedBytes));
    std::uint8_t* at = out.data() + kSeedBytes;
    for (const auto* part : {&sparse, &dense}) {
      for (const V& value : *part) {
        const auto bytes = Traits::to_bytes(value);
        std::memcpy(at, bytes.data(), kValueBytes);
        at += kValueBytes;
      }
    }
    return out;
  }

  // The store of a byte form, its values copied out of `bytes`: what
  // PaxosView reads in place. Failures: those of parse_paxos_layout.
  static Paxos from_bytes(std::span<const std::uint8_t> bytes) {
    const PaxosView<V> view(bytes);
    Paxos store;
    store.seed_a = view.seeds().a;
    store.seed_b = view.seeds().b;
    store.seed_c = view.seeds().c;
    store.sparse.reserve(view.sparse().size());
    for (std::size_t i = 0; i < view.sparse().size(); ++i) store.sparse.push_back(view.sparse()[i]);
    store.dense.assign(view.dense().begin(), view.dense().end());
    return store;
  }

  friend bool operator==(const Paxos&, const Paxos&) = default;
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
