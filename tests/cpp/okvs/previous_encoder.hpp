#pragma once
// The store's encoder as it was before it was split into stages: one attempt
// on the list-based cuckoo graph, peeled vertex by vertex with chains
// followed. Kept unchanged as the oracle for which attempts succeed and why
// the others fail, and for the benchmark's before-and-after figures.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/bounds.hpp"
#include "okvs/elimination.hpp"
#include "okvs/graph.hpp"
#include "okvs/hashable.hpp"
#include "okvs/schemes/paxos.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::okvs::testing {

template <Bits V, Hashable K, class Place = HashPlacement>
typename Paxos<V>::Attempt previous_try_encode(std::span<const std::pair<K, V>> pairs, std::uint64_t m,
                                               Place&& place) {
  using Attempt = typename Paxos<V>::Attempt;
  using Graph = UndirectedGraph<std::size_t>;
  constexpr std::size_t kAhead = 8;
  const auto xor_dense = [](V& acc, const auto& dense, std::uint64_t bits) {
    for (bits &= 0xffffffffu; bits != 0; bits &= bits - 1) acc ^= dense[std::countr_zero(bits)];
  };
  std::vector<std::uint64_t> dense_bits(pairs.size());

  Seeds seeds;
  seeds.a = runtime::next_u64();
  seeds.b = runtime::next_u64();
  seeds.c = runtime::next_u64();

  std::vector<std::pair<std::uint64_t, std::uint64_t>> slots(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const Placement p = place(pairs[i].first, std::as_const(seeds), m);
    slots[i] = {p.a, p.b};
    dense_bits[i] = p.dense_bits;
  }
  Graph graph(m);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + kAhead < pairs.size()) {
      graph.prefetch(slots[i + kAhead].first);
      graph.prefetch(slots[i + kAhead].second);
    }
    if (!graph.add_edge(slots[i].first, slots[i].second, i)) {
      return Attempt{std::nullopt, AttemptFailure::slot_pair_taken, 0};
    }
  }
  slots = {};

  std::vector<std::pair<std::uint64_t, typename Graph::EdgeT>> peeled;
  peeled.reserve(pairs.size());
  for (std::uint64_t v = 0; v < m; ++v) {
    std::uint64_t cur = v;
    while (auto e = graph.pop_only_edge(cur)) {
      const std::uint64_t next = e->to;
      peeled.emplace_back(cur, std::move(*e));
      cur = next;
    }
  }
  const std::size_t core_edges = graph.edge_count();
  if (core_edges > kMaxCoreEdges) return Attempt{std::nullopt, AttemptFailure::core_too_large, core_edges};

  SparseBoolMatrix matrix(m + kDenseSlots);
  std::vector<V> rhs;
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

  Paxos<V> store;
  store.seed_a = seeds.a;
  store.seed_b = seeds.b;
  store.seed_c = seeds.c;
  for (std::uint64_t j = 0; j < kDenseSlots; ++j) {
    auto solved = solution->find(m + j);
    store.dense.push_back(solved != solution->end() ? solved->second : random_value<V>());
  }
  auto& slot = store.sparse;
  slot.resize(m);
  std::vector<std::uint8_t> has_value(m, 0);
  for (auto& [col, value] : *solution) {
    if (col >= m) break;
    slot[col] = value;
    has_value[col] = 1;
  }
  for (auto it = peeled.rbegin(); it != peeled.rend(); ++it) {
    if (peeled.rend() - it > static_cast<std::ptrdiff_t>(kAhead)) {
      const auto& ahead = it[kAhead].second;
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
    if (!has_value[i]) slot[i] = random_value<V>();
  }
  return Attempt{std::move(store), AttemptFailure::none, core_edges};
}

// encode() on the previous attempts, with the same bound on failures.
template <Bits V, Hashable K>
Paxos<V> previous_encode(std::span<const std::pair<K, V>> pairs) {
  const std::uint64_t m = sparse_size(pairs.size());
  for (unsigned failed = 0; failed < kMaxFailedAttempts; ++failed) {
    auto attempt = previous_try_encode<V, K>(pairs, m, HashPlacement{});
    if (attempt.store) return std::move(*attempt.store);
  }
  throw runtime::Failure("previous encoder: no attempt succeeded");
}

}  // namespace vorlinde::okvs::testing
