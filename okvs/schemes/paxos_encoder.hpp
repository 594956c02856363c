#pragma once
// The store's encoder, stage by stage, and what the store shares with it:
// its parameters, the placement of a key, and the slot storage.
//
// A key k with sparse slots a, b and dense bit word d must satisfy
//   value(k) = sparse[a] ^ sparse[b] ^ XOR_{j < 32, bit j of d set} dense[j].
// The keys are the edges {a, b} of a cuckoo graph on the m sparse slots.
// Peeling takes an edge off a slot that no other remaining edge touches; such
// an equation can be met last by choosing that slot. What cannot be peeled,
// the 2-core (at most kMaxCoreEdges edges), is solved as a linear system over
// the core's sparse slots and the 32 dense slots; then the peeled edges are
// met in reverse peel order and every slot still free gets a random value.
//
// Each stage is a function of its inputs, so that each can be measured on its
// own. The stages touch every key a constant number of times; the slot table
// and the graph are far larger than the caches for large stores, so every
// loop over random slots loads a fixed distance ahead.

#include <algorithm>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/bounds.hpp"
#include "okvs/elimination.hpp"
#include "okvs/hashable.hpp"
#include "okvs/peeling.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::okvs {

inline constexpr std::size_t kDenseSlots = 32;
inline constexpr std::size_t kMaxCoreEdges = 8;
inline constexpr std::size_t kSeedBytes = 24;
// Peeled edges ahead whose value and slots the back-fill loads.
inline constexpr std::size_t kFillAhead = 16;
// Keys that decode_many hashes before it reads their slots.
inline constexpr std::size_t kDecodeBlock = 16;
// Consecutive failed attempts after which encode gives up. An attempt with
// distinct keys fails with a probability well below one half (for n = 2 about
// 1/12, less for larger n), so 1,000 failures in a row only happen when two
// keys share a byte string: then every attempt fails on the repeated slot pair.
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


// Slot tables (runtime/table_allocator.hpp): cache-line aligned, on huge
// pages when large.
template <class V>
using SlotVector = Table<V>;

// acc ^= dense[j] for every set bit j < 32 of bits. XOR commutes, so the bits
// are visited lowest first without testing the clear ones.
// Failure: a set bit without its dense value (index out of bounds).
template <Bits V>
void xor_dense(V& acc, std::span<const V> dense, std::uint64_t bits) {
  for (bits &= 0xffffffffu; bits != 0; bits &= bits - 1) {
    const auto j = static_cast<std::size_t>(std::countr_zero(bits));
    check_index(dense.size(), j);
    acc ^= dense[j];
  }
}

// Loads the cache lines of `size` bytes at `at` that are about to be read (or
// written): the first line, and the last when that is another one (values of
// at most 64 bytes lie on no other).
template <bool kWrite = false>
void prefetch_bytes(const void* at, std::size_t size) {
  const auto first = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t last = first + size - 1;
  __builtin_prefetch(reinterpret_cast<const void*>(first), kWrite);
  if ((first ^ last) >= 64) __builtin_prefetch(reinterpret_cast<const void*>(last), kWrite);
}

template <bool kWrite = false, class V>
void prefetch_value(const V& value) {
  prefetch_bytes<kWrite>(&value, sizeof(V));
}

// Stage 1: every key's placement, in input order: key i becomes edge i
// between its two slots, tagged with the low 32 dense bits (the others are
// never used). `keys` is any indexed collection of Hashable keys (size(),
// operator[]).
// Failure: a placement at or beyond m (index out of bounds), which
// HashPlacement never gives; m = 0 with any key (divisor zero).
template <std::unsigned_integral Index, class Keys, class Place>
Table<EdgeEnds<Index>> place_keys(const Keys& keys, const Seeds& seeds, std::uint64_t m, Place& place,
                                  runtime::CancellationTicker& ticker) {
  Table<EdgeEnds<Index>> edges(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ticker.tick();
    const Placement p = place(keys[i], seeds, m);
    check_index(m, p.a);
    check_index(m, p.b);
    edges[i] = EdgeEnds<Index>{static_cast<Index>(p.a), static_cast<Index>(p.b),
                               static_cast<std::uint32_t>(p.dense_bits)};
  }
  return edges;
}

// The keys of a list of pairs, as place_keys reads them.
template <class K, class V>
struct PairKeys {
  std::span<const std::pair<K, V>> pairs;
  std::size_t size() const { return pairs.size(); }
  const K& operator[](std::size_t i) const { return pairs[i].first; }
};

// Stage 4: the 2-core's system over the columns 0..m-1 (sparse slots) and
// m..m+31 (dense slots), one row per core edge {a, b} holding a and b (none
// for a loop: its two sparse terms cancel) and the edge's dense columns, with
// the key's value on the right. Failure kinds, checked in this order: two
// core edges on one slot pair or two loops on one slot (slot_pair_taken);
// more than kMaxCoreEdges edges (core_too_large); dependent rows
// (core_dependent). On success, the values of the columns that the rows
// mention, free ones drawn at random, the rest computed.
template <Bits V>
struct CoreSolution {
  AttemptFailure failure = AttemptFailure::none;
  std::map<std::uint64_t, V> values;
};

template <Bits V, std::unsigned_integral Index, class ValueAt>
CoreSolution<V> solve_core(std::span<const Index> core, std::span<const EdgeEnds<Index>> edges,
                           const ValueAt& value_at, std::uint64_t m) {
  CoreSolution<V> out;
  if (core.empty()) return out;
  std::vector<std::pair<Index, Index>> pairs;
  pairs.reserve(core.size());
  for (const Index e : core) {
    const EdgeEnds<Index> ends = edges[e];
    pairs.emplace_back(std::min(ends.a, ends.b), std::max(ends.a, ends.b));
  }
  std::sort(pairs.begin(), pairs.end());
  if (std::adjacent_find(pairs.begin(), pairs.end()) != pairs.end()) {
    out.failure = AttemptFailure::slot_pair_taken;
    return out;
  }
  if (core.size() > kMaxCoreEdges) {
    out.failure = AttemptFailure::core_too_large;
    return out;
  }
  SparseBoolMatrix matrix(m + kDenseSlots);
  std::vector<V> rhs;
  rhs.reserve(core.size());
  for (const Index e : core) {
    const EdgeEnds<Index> ends = edges[e];
    SparseBoolMatrix::Row row;
    if (ends.a != ends.b) row = {ends.a, ends.b};
    for (std::uint32_t bits = ends.tag; bits != 0; bits &= bits - 1) {
      row.insert(m + static_cast<std::uint64_t>(std::countr_zero(bits)));
    }
    matrix.push_row(std::move(row));
    rhs.push_back(value_at(e));
  }
  auto solution = std::move(matrix).template try_solve_assigned<V>(std::move(rhs));
  if (!solution) {
    out.failure = AttemptFailure::core_dependent;
    return out;
  }
  out.values = std::move(*solution);
  return out;
}

// Loads the value of edge e ahead of its use; a value source that makes its
// values on demand overloads this with nothing to do.
template <class Values>
void prefetch_value_at(const Values& values, std::size_t e) {
  prefetch_value(values[e]);
}

// One bit per sparse slot: set once the slot has its value.
class SlotBits {
 public:
  explicit SlotBits(std::uint64_t m) : words_((m + 63) / 64) {}
  bool test(std::uint64_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
  void set(std::uint64_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
  std::uint64_t word(std::size_t w) const { return words_[w]; }
  std::size_t word_count() const { return words_.size(); }

 private:
  std::vector<std::uint64_t> words_;
};

// Stage 5: the slots. Dense slot j is the core's value for column m + j or a
// fresh random value (in index order). Then the peeled edges from the last
// peeled to the first: edge e taken off vertex v with other end w sets
//   sparse[v] = value(e) ^ dense part of e ^ sparse[w],
// drawing sparse[w] first if it has no value yet; v has none (every other
// edge of v was peeled before e and is met after it, and no core edge touches
// v). Last, every sparse slot still without a value gets a fresh random one.
// The walk over the peel order is sequential and loads the value, the two
// slots kFillAhead edges ahead.
// The slots are the caller's (m sparse, kDenseSlots dense), written whatever
// they held: every slot is assigned before it is read. values[e] is read once
// for each peeled edge e, in reverse peel order.
// Failure: slots of other sizes (equality assertion).
template <Bits V, std::unsigned_integral Index, class Values>
void back_fill(std::span<const PeeledEdge<Index>> order, Values& values, std::map<std::uint64_t, V> core,
               std::uint64_t m, std::span<V> sparse, std::span<V> dense, runtime::CancellationTicker& ticker) {
  check_counts_equal(sparse.size(), m, "sparse slots differ from m");
  check_counts_equal(dense.size(), kDenseSlots, "dense slots differ from 32");
  RandomValueStream<V> fresh;
  for (std::uint64_t j = 0; j < kDenseSlots; ++j) {
    auto solved = core.find(m + j);
    dense[j] = solved != core.end() ? std::move(solved->second) : fresh.next();
  }
  const std::span<const V> dense_part(dense);

  SlotBits assigned(m);
  for (auto& [col, value] : core) {
    if (col >= m) break;
    sparse[col] = std::move(value);
    assigned.set(col);
  }
  for (std::size_t k = order.size(); k-- > 0;) {
    ticker.tick();
    if (k >= kFillAhead) {
      const PeeledEdge<Index>& ahead = order[k - kFillAhead];
      prefetch_value_at(values, ahead.edge);
      prefetch_value(sparse[ahead.other]);
      prefetch_value<true>(sparse[ahead.vertex]);
    }
    const PeeledEdge<Index>& p = order[k];
    V acc = values[p.edge];
    xor_dense(acc, dense_part, p.tag);
    if (!assigned.test(p.other)) {
      sparse[p.other] = fresh.next();
      assigned.set(p.other);
    }
    acc ^= sparse[p.other];
    sparse[p.vertex] = std::move(acc);
    assigned.set(p.vertex);
  }
  for (std::size_t w = 0; w < assigned.word_count(); ++w) {
    ticker.tick();
    std::uint64_t free = ~assigned.word(w);
    if (w + 1 == assigned.word_count() && m % 64 != 0) free &= (std::uint64_t{1} << (m % 64)) - 1;
    for (; free != 0; free &= free - 1) sparse[64 * w + static_cast<std::size_t>(std::countr_zero(free))] = fresh.next();
  }
}

}  // namespace vorlinde::okvs
