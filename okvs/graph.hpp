#pragma once
// The cuckoo graph of one encoding attempt: vertices are sparse slots, every
// key is an edge between its two slots, carrying a payload that is handed back
// when the edge is removed.
//
// Invariants: a non-loop edge {u, v} is held as two mirror entries, one in the
// list of u (to = v) and one in the list of v (to = u); loops live only in
// `self_loops`, at most one per vertex; there is at most one edge per vertex
// pair; edge_count counts every edge once.
//
// Lists have no order of their own: entries are appended, drained from the
// back, and a mirror is removed by a front scan followed by a swap with the
// list's last entry. Peeling and the 2-core system depend on exactly this order.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "okvs/bounds.hpp"

namespace vorlinde::okvs {

template <class Payload>
struct Edge {
  std::uint64_t to;  // the other endpoint; for a loop, the vertex itself
  Payload data;
};

// A vertex's list: the first two entries are stored in place, more move to
// the heap. With n keys on 2.4 n vertices the mean degree is 0.83 and only
// about one vertex in twenty has more than two entries, so building a graph
// allocates for few vertices. Only the operations the graph needs.
template <class T>
class EdgeList {
 public:
  static constexpr std::size_t kInPlace = 2;

  EdgeList() = default;
  EdgeList(EdgeList&& other) noexcept { *this = std::move(other); }
  EdgeList& operator=(EdgeList&& other) noexcept {
    size_ = other.size_;
    capacity_ = other.capacity_;
    heap_ = std::move(other.heap_);
    local_ = std::move(other.local_);
    other.size_ = 0;
    other.capacity_ = kInPlace;
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size_ - 1]; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

  void push_back(T value) {
    if (size_ == capacity_) grow();
    data()[size_++] = std::move(value);
  }
  void pop_back() { --size_; }

 private:
  T* data() { return heap_ ? heap_.get() : local_.data(); }
  const T* data() const { return heap_ ? heap_.get() : local_.data(); }

  void grow() {
    const std::uint32_t capacity = 2 * capacity_;
    auto bigger = std::make_unique<T[]>(capacity);
    T* old = data();
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = std::move(old[i]);
    heap_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInPlace;
  std::unique_ptr<T[]> heap_;
  std::array<T, kInPlace> local_{};
};

template <class Payload>
  requires std::default_initializable<Payload> && std::movable<Payload>
class UndirectedGraph {
 public:
  using EdgeT = Edge<Payload>;

  explicit UndirectedGraph(std::uint64_t n) : adjacency_(n) {}

  std::uint64_t vertex_count() const { return adjacency_.size(); }
  std::uint64_t edge_count() const { return edge_count_; }
  bool has_no_self_loops() const { return self_loops_.empty(); }
  bool has_self_loop(std::uint64_t v) const { return self_loops_.contains(v); }
  // Length of v's list (loops not included). Failure: v out of range.
  std::size_t degree(std::uint64_t v) const {
    check_index(adjacency_.size(), v);
    return adjacency_[v].size();
  }

  // A hint that v's list is about to be used: graphs larger than the caches
  // are touched at random vertices, and a caller that knows the next vertices
  // ahead can overlap their memory latency. No effect on the graph.
  void prefetch(std::uint64_t v) const {
    if (v < adjacency_.size()) __builtin_prefetch(&adjacency_[v]);
  }

  // Adds {u, v}; false when that edge, or u's loop, exists already.
  // Failure: index out of bounds for either endpoint. As v is only checked
  // after u's entry is appended, a failing call leaves that entry behind; a
  // failure ends the encoding, so the graph is never used again.
  bool add_edge(std::uint64_t u, std::uint64_t v, const Payload& data) {
    check_index(adjacency_.size(), u);
    auto& from = adjacency_[u];
    for (const EdgeT& e : from) {
      if (e.to == v) return false;
    }
    if (u == v) {
      if (!self_loops_.try_emplace(u, EdgeT{u, data}).second) return false;
    } else {
      from.push_back(EdgeT{v, data});
      check_index(adjacency_.size(), v);
      adjacency_[v].push_back(EdgeT{u, data});
    }
    ++edge_count_;
    return true;
  }

  // Removes and returns v's edge when v has exactly one (one list entry and
  // no loop); otherwise nothing changes. Failure: v out of range.
  std::optional<EdgeT> pop_only_edge(std::uint64_t v) {
    check_index(adjacency_.size(), v);
    auto& list = adjacency_[v];
    if (list.size() != 1) return std::nullopt;
    if (self_loops_.contains(v)) return std::nullopt;
    EdgeT taken = std::move(list.back());
    list.pop_back();
    remove_mirror(taken.to, v);
    --edge_count_;
    return taken;
  }

  // Removes and returns one edge of v: its loop first, then list entries from
  // the back; nothing when v has no edge. Failure: v out of range (a loop is
  // looked up before the range check, as only valid vertices ever have one).
  std::optional<EdgeT> pop_edge(std::uint64_t v) {
    if (auto loop = self_loops_.find(v); loop != self_loops_.end()) {
      EdgeT taken = std::move(loop->second);
      self_loops_.erase(loop);
      --edge_count_;
      return taken;
    }
    check_index(adjacency_.size(), v);
    auto& list = adjacency_[v];
    if (list.empty()) return std::nullopt;
    EdgeT taken = std::move(list.back());
    list.pop_back();
    remove_mirror(taken.to, v);
    --edge_count_;
    return taken;
  }

 private:
  // Removes the first entry of w's list that points to v, moving w's last
  // entry into its place.
  void remove_mirror(std::uint64_t w, std::uint64_t v) {
    auto& list = adjacency_[w];
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].to == v) {
        if (i + 1 != list.size()) list[i] = std::move(list.back());
        list.pop_back();
        return;
      }
    }
    fail_unwrap_none();
  }

  std::vector<EdgeList<EdgeT>> adjacency_;
  std::unordered_map<std::uint64_t, EdgeT> self_loops_;
  std::uint64_t edge_count_ = 0;
};

}  // namespace vorlinde::okvs
