#pragma once
// Gaussian elimination over GF(2) for the small system that the cuckoo
// graph's 2-core leaves over. Variables and right-hand sides are store values
// and addition is XOR, so every row equation reads
//   XOR_{c in row} x_c = rhs.
// Rows are ordered sets of column indices: a store's system has at most 8 rows
// of a few dozen columns each, out of about 2.4 n + 32 columns.
//
// Which variable a row computes and which get random values decides the bytes
// of the store: back substitution runs from the last row to the first, visits
// a row's columns in ascending order, gives every column without a value a
// fresh random value, and computes only the row's largest such column.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/bounds.hpp"

namespace vorlinde::okvs {

class SparseBoolMatrix {
 public:
  using Row = std::set<std::uint64_t>;

  explicit SparseBoolMatrix(std::uint64_t num_cols) : num_cols_(num_cols) {}

  std::uint64_t num_cols() const { return num_cols_; }
  const std::vector<Row>& rows() const { return rows_; }

  // Column indices are not checked against num_cols here (see solve).
  void push_row(Row row) { rows_.push_back(std::move(row)); }

  // Solves rows · x = rhs, consuming the matrix. Entry c of the result is the
  // value of x_c, absent when no row mentions c after elimination.
  // Failures: rhs.size() != row count (equality assertion reporting both);
  // linearly dependent rows, including an empty row
  // ("called `Option::unwrap()` on a `None` value"); a column at or above
  // num_cols (index out of bounds, once back substitution reaches it).
  template <Bits V>
  std::vector<std::optional<V>> solve(std::vector<V> rhs) && {
    auto assigned = std::move(*this).template try_solve_assigned<V>(std::move(rhs));
    if (!assigned) fail_unwrap_none();
    std::vector<std::optional<V>> solution(num_cols_);
    for (auto& [col, value] : *assigned) solution[col] = std::move(value);
    return solution;
  }

  // As solve, drawing the same random values in the same order, but gives
  // only the assigned columns (ascending) and reports dependent rows as
  // nullopt instead of failing, so that a caller can retry. Costs time in the
  // size of the rows only, not in num_cols.
  template <Bits V>
  std::optional<std::map<std::uint64_t, V>> try_solve_assigned(std::vector<V> rhs) && {
    check_counts_equal(rows_.size(), rhs.size(), "matrix rows and right-hand sides differ in number");
    eliminate(rhs);

    std::map<std::uint64_t, V> solution;
    for (std::size_t i = rows_.size(); i-- > 0;) {
      V& acc = rhs[i];
      std::optional<std::uint64_t> last_free;
      for (std::uint64_t col : rows_[i]) {
        check_index(num_cols_, col);
        if (auto known = solution.find(col); known != solution.end()) {
          acc ^= known->second;
        } else {
          V r = random_value<V>();
          acc ^= r;
          solution.emplace(col, std::move(r));
          last_free = col;
        }
      }
      if (!last_free) return std::nullopt;
      // acc = rhs_i ^ (all values of the row, R_{c*} included), so this
      // leaves x_{c*} = rhs_i ^ (the row's other values).
      solution.find(*last_free)->second ^= acc;
    }
    return solution;
  }

 private:
  // Forward elimination in place. Pivot columns are taken in ascending order,
  // the pivot row of a column being the first row at or after position r that
  // contains it. Rows at or after r never contain a column below the current
  // one (earlier pivots were cleared from them, and pivot rows contain nothing
  // below their pivot), so the next column with a candidate row is the least
  // first column of those rows: jumping to it skips only columns that a full
  // column-by-column scan would pass over without acting.
  template <class V>
  void eliminate(std::vector<V>& rhs) {
    const std::size_t count = rows_.size();
    for (std::size_t r = 0; r < count; ++r) {
      std::optional<std::uint64_t> col;
      for (std::size_t k = r; k < count; ++k) {
        if (!rows_[k].empty() && (!col || *rows_[k].begin() < *col)) col = *rows_[k].begin();
      }
      if (!col || *col >= num_cols_) return;
      std::size_t k = r;
      while (!rows_[k].contains(*col)) ++k;
      if (k != r) {
        std::swap(rows_[r], rows_[k]);
        std::swap(rhs[r], rhs[k]);
      }
      for (std::size_t j = r + 1; j < count; ++j) {
        if (!rows_[j].contains(*col)) continue;
        for (std::uint64_t c : rows_[r]) {
          if (rows_[j].erase(c) == 0) rows_[j].insert(c);
        }
        rhs[j] ^= rhs[r];
      }
    }
  }

  std::uint64_t num_cols_;
  std::vector<Row> rows_;
};

}  // namespace vorlinde::okvs
