#pragma once
// The cuckoo graph of an encoding attempt in the form that peeling needs and
// nothing more: per vertex, its degree and the XOR of the numbers of its
// edges. A vertex of degree one therefore names its only edge directly, and
// removing an edge is two decrements and two XORs, so the whole graph is
// 8 bytes per vertex (16 with 64-bit indices) with no lists to chase.
//
// The graph is a multigraph here: a repeated slot pair is two parallel edges
// and a loop adds 2 to its vertex's degree and nothing to its XOR. Neither can
// ever be peeled (both endpoints of two parallel edges keep degree two or
// more while both exist; a vertex with a loop never has degree one), so every
// repeated pair and every loop ends up in the 2-core, where the encoder looks
// for them. The 2-core itself is the same edge set whatever the peel order.
//
// Index is std::uint32_t when the vertices and edges fit (every store that
// fits in memory), std::uint64_t otherwise.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/cancellation.hpp"
#include "runtime/table_allocator.hpp"

namespace vorlinde::okvs {

// An edge's two ends and a word that the graph carries along for its user
// (the encoder keeps the key's dense bits there, so that they travel with the
// peel order instead of being looked up at random later).
// The encoder's large working tables.
template <class T>
using Table = std::vector<T, runtime::TableAllocator<T>>;

template <std::unsigned_integral Index>
struct EdgeEnds {
  Index a;
  Index b;
  std::uint32_t tag;
};

template <std::unsigned_integral Index>
struct VertexTally {
  Index degree;    // loops count twice
  Index edge_xor;  // XOR of the numbers of the vertex's non-loop edges
};

// Edge `edge` was taken off `vertex` while it was that vertex's only edge;
// `other` is its other endpoint, `tag` the edge's tag.
template <std::unsigned_integral Index>
struct PeeledEdge {
  Index vertex;
  Index other;
  Index edge;
  std::uint32_t tag;
};

// How far ahead the peel loads what its next steps will touch: the queued
// vertex's tally, then the edge it names, then that edge's other endpoint.
inline constexpr std::size_t kPeelFar = 32;
inline constexpr std::size_t kPeelMid = 16;
inline constexpr std::size_t kPeelNear = 8;
// Edges ahead whose endpoints' tallies are loaded while tallying.
inline constexpr std::size_t kTallyAhead = 16;

// The graph of edges {ends[e].a, ends[e].b} on m vertices. Every endpoint
// must be below m (the encoder reduces them so).
template <std::unsigned_integral Index>
Table<VertexTally<Index>> tally_edges(std::span<const EdgeEnds<Index>> ends, std::uint64_t m,
                                            runtime::CancellationTicker& ticker) {
  Table<VertexTally<Index>> tally(m);
  const std::size_t n = ends.size();
  for (std::size_t e = 0; e < n; ++e) {
    ticker.tick();
    if (e + kTallyAhead < n) {
      __builtin_prefetch(&tally[ends[e + kTallyAhead].a], 1);
      __builtin_prefetch(&tally[ends[e + kTallyAhead].b], 1);
    }
    const Index id = static_cast<Index>(e);
    VertexTally<Index>& a = tally[ends[e].a];
    a.degree += 1;
    a.edge_xor ^= id;
    VertexTally<Index>& b = tally[ends[e].b];
    b.degree += 1;
    b.edge_xor ^= id;  // for a loop this undoes the XOR above
  }
  return tally;
}

// Takes edges off vertices of degree one until none is left; what remains is
// the 2-core. Returns the peeled edges in peel order: every edge's `vertex`
// has no edge peeled after it, so assigning slots in reverse order can always
// choose the peeled vertex's slot last. Consumes the tallies.
//
// Vertices of degree one are queued in ascending order first, then as they
// appear; a queued vertex whose degree has changed meanwhile is skipped. The
// queue is read a fixed distance ahead in three steps, so that its random
// accesses overlap instead of waiting on one another.
template <std::unsigned_integral Index>
Table<PeeledEdge<Index>> peel(Table<VertexTally<Index>>& tally, std::span<const EdgeEnds<Index>> ends,
                                    runtime::CancellationTicker& ticker) {
  const std::uint64_t m = tally.size();
  Table<Index> queue;
  queue.reserve(m / 2);
  for (std::uint64_t v = 0; v < m; ++v) {
    ticker.tick();
    if (tally[v].degree == 1) queue.push_back(static_cast<Index>(v));
  }
  Table<PeeledEdge<Index>> order;
  order.reserve(ends.size());
  for (std::size_t i = 0; i < queue.size(); ++i) {
    ticker.tick();
    if (i + kPeelFar < queue.size()) __builtin_prefetch(&tally[queue[i + kPeelFar]]);
    if (i + kPeelMid < queue.size()) {
      const VertexTally<Index>& t = tally[queue[i + kPeelMid]];
      if (t.degree == 1) __builtin_prefetch(&ends[t.edge_xor]);
    }
    if (i + kPeelNear < queue.size()) {
      const Index u = queue[i + kPeelNear];
      const VertexTally<Index>& t = tally[u];
      if (t.degree == 1) __builtin_prefetch(&tally[ends[t.edge_xor].a ^ ends[t.edge_xor].b ^ u], 1);
    }
    const Index v = queue[i];
    VertexTally<Index>& t = tally[v];
    if (t.degree != 1) continue;
    const Index e = t.edge_xor;
    const EdgeEnds<Index> edge = ends[e];
    const Index w = edge.a ^ edge.b ^ v;
    t = VertexTally<Index>{0, 0};
    VertexTally<Index>& other = tally[w];
    other.degree -= 1;
    other.edge_xor ^= e;
    order.push_back(PeeledEdge<Index>{v, w, e, edge.tag});
    if (other.degree == 1) queue.push_back(w);
  }
  return order;
}

// The edges of 0..n-1 that `order` does not hold, ascending.
template <std::unsigned_integral Index>
std::vector<Index> core_edges(std::span<const PeeledEdge<Index>> order, std::size_t n) {
  if (order.size() == n) return {};
  std::vector<bool> peeled(n);
  for (const PeeledEdge<Index>& p : order) peeled[p.edge] = true;
  std::vector<Index> core;
  for (std::size_t e = 0; e < n; ++e) {
    if (!peeled[e]) core.push_back(static_cast<Index>(e));
  }
  return core;
}

}  // namespace vorlinde::okvs
