#pragma once
// The row key of both banks' stores and of the operator's queries. A row is
// seen by the store only through its key byte string: the UTF-8 bytes of its
// strings, in order, with nothing between them, so ["ab", "c"], ["a", "bc"]
// and ["abc"] are one key, and so are [] and [""].

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ranges>
#include <span>
#include <utility>
#include <vector>

#include "okvs/hashable.hpp"
#include "runtime/cancellation.hpp"
#include "src/operations.hpp"

namespace vorlinde {

class DataRow {
 public:
  explicit DataRow(Row strings) : strings_(std::move(strings)) {}

  // Appends the key byte string (okvs::Hashable).
  void write_key_bytes(okvs::KeyBuffer& out) const {
    for (const std::string& s : strings_) out.insert(out.end(), s.begin(), s.end());
  }

  const Row& strings() const { return strings_; }

 private:
  Row strings_;
};

static_assert(okvs::Hashable<DataRow>);

// One DataRow per distinct key byte string, the first row that has it, in
// input order. The store can hold a key only once; dropping the later rows
// keeps every dropped row decoding to the kept row's value. Rows with pairwise
// different key byte strings all come back, in their order.
//
// Rows are told apart by a 64-bit hash of their key byte strings, sorted with
// the row numbers; only rows with equal hashes are compared byte by byte. No
// copy of the rows' bytes is kept (16 bytes a row besides the rows).
std::vector<DataRow> distinct_rows(Rows rows);

// Whether two rows have the same key byte string, without building either.
bool same_key_bytes(const Row& a, const Row& b);

// Which rows repeat the key byte string of an earlier row (true: dropped),
// given hash_of(i), any hash of row i's key byte string, and same(i, j),
// whether rows i and j have the same one. Rows are sorted by (hash, number);
// only rows with equal hashes are compared, so a poor hash only costs
// comparisons.
template <class HashOf, class Same>
std::vector<bool> later_repeats(std::size_t count, HashOf&& hash_of, Same&& same) {
  std::vector<std::pair<std::uint64_t, std::size_t>> order(count);
  runtime::CancellationTicker ticker(4096);
  for (std::size_t i = 0; i < count; ++i) {
    ticker.tick();
    order[i] = {hash_of(i), i};
  }
  std::sort(order.begin(), order.end());
  // Within a run of equal hashes the rows are in input order, so the first
  // of every key byte string is the one kept.
  std::vector<bool> dropped(count);
  for (std::size_t lo = 0, hi = 0; lo < order.size(); lo = hi) {
    ticker.tick();
    for (hi = lo + 1; hi < order.size() && order[hi].first == order[lo].first; ++hi) {
      for (std::size_t k = lo; k < hi; ++k) {
        if (!dropped[order[k].second] && same(order[k].second, order[hi].second)) {
          dropped[order[hi].second] = true;
          break;
        }
      }
    }
  }
  return dropped;
}

// distinct_rows with the given hash of a row's key byte string (any function
// works; a poor one only costs comparisons).
template <class Hash>
std::vector<DataRow> distinct_rows_by(Rows rows, Hash&& hash) {
  const std::vector<bool> dropped = later_repeats(
      rows.size(), [&](std::size_t i) { return hash(rows[i]); },
      [&](std::size_t i, std::size_t j) { return same_key_bytes(rows[i], rows[j]); });
  std::vector<DataRow> kept;
  kept.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!dropped[i]) kept.emplace_back(std::move(rows[i]));
  }
  return kept;
}

// A key byte string read where it lies (okvs::Hashable).
struct KeyView {
  std::span<const std::uint8_t> bytes;
  void write_key_bytes(okvs::KeyBuffer& out) const { out.insert(out.end(), bytes.begin(), bytes.end()); }
};

static_assert(okvs::Hashable<KeyView>);

// Rows held as their key byte strings only: every row's bytes back to back in
// one buffer, and where each row ends. A row costs its key's length and 8
// bytes, where a Row costs a vector and a string per column on top.
// Indexed like the encoder's keys: size(), operator[] -> KeyView.
class RowKeys {
 public:
  RowKeys() = default;
  explicit RowKeys(const Rows& rows);

  void reserve_rows(std::size_t count) { ends_.reserve(count); }
  // Appends a piece to the row being read; end_row closes it.
  void append(std::span<const std::uint8_t> piece) { bytes_.insert(bytes_.end(), piece.begin(), piece.end()); }
  void end_row() { ends_.push_back(bytes_.size()); }
  // Gives back the room reserved by growing.
  void shrink_to_fit() {
    bytes_.shrink_to_fit();
    ends_.shrink_to_fit();
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::span<const std::uint8_t> key(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span<const std::uint8_t>(bytes_).subspan(begin, ends_[i] - begin);
  }
  KeyView operator[](std::size_t i) const { return KeyView{key(i)}; }

  // Drops every row whose key byte string an earlier row has: what
  // distinct_rows keeps, in the same order, with `hash` of a key's bytes.
  template <class Hash>
  void keep_distinct_by(Hash&& hash) {
    const std::vector<bool> dropped = later_repeats(
        size(), [&](std::size_t i) { return hash(key(i)); },
        [&](std::size_t i, std::size_t j) { return std::ranges::equal(key(i), key(j)); });
    std::size_t kept = 0, at = 0, begin = 0;
    for (std::size_t i = 0; i < ends_.size(); ++i) {
      const std::size_t end = ends_[i];
      if (!dropped[i]) {
        // Rows only move towards the front (at <= begin), so no row is
        // overwritten before it has moved.
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(begin), bytes_.begin() + static_cast<std::ptrdiff_t>(end),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(at));
        at += end - begin;
        ends_[kept++] = at;
      }
      begin = end;
    }
    bytes_.resize(at);
    ends_.resize(kept);
  }

  // keep_distinct_by with the hash distinct_rows uses.
  void keep_distinct();

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint64_t> ends_;
};

}  // namespace vorlinde
