#pragma once
// Literal slow paths kept as oracles for the store's tests, and a value type
// whose "random" values are a known sequence.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/elimination.hpp"

namespace vorlinde::okvs::testing {

// A word whose "random" values are a known sequence R(1), R(2), ..., so tests
// can tell which column got a drawn value and which was computed.
struct Scripted {
  std::uint64_t w = 0;

  static inline int draws = 0;
  static std::uint64_t r(int k) { return 0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(k) ^ 0xabcdefULL; }
  static Scripted random() { return Scripted{r(++draws)}; }
  std::array<std::uint8_t, 8> to_bytes() const { return BitsTraits<std::uint64_t>::to_bytes(w); }
  static Scripted from_bytes(std::span<const std::uint8_t> b) { return {BitsTraits<std::uint64_t>::from_bytes(b)}; }
  Scripted& operator^=(const Scripted& o) {
    w ^= o.w;
    return *this;
  }
  friend Scripted operator^(Scripted a, const Scripted& b) { return a ^= b; }
  friend bool operator==(const Scripted&, const Scripted&) = default;
};
using Rows = std::vector<SparseBoolMatrix::Row>;

// Literal slow path kept as an oracle: rows as 0/1 vectors, forward
// elimination visiting every column in turn, back substitution drawing
// Scripted::r values in the same order. Nullopt for dependent rows.
inline std::optional<std::vector<std::optional<std::uint64_t>>> reference_solve(std::uint64_t cols, const Rows& rows,
                                                                                std::vector<std::uint64_t> rhs, int& draws) {
  std::vector<std::vector<bool>> a(rows.size(), std::vector<bool>(cols));
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (auto c : rows[i]) a[i][c] = true;
  std::size_t r = 0;
  for (std::uint64_t col = 0; col < cols && r < a.size(); ++col) {
    std::size_t k = r;
    while (k < a.size() && !a[k][col]) ++k;
    if (k == a.size()) continue;
    std::swap(a[r], a[k]);
    std::swap(rhs[r], rhs[k]);
    for (std::size_t j = r + 1; j < a.size(); ++j) {
      if (!a[j][col]) continue;
      for (std::uint64_t c = 0; c < cols; ++c) a[j][c] = a[j][c] != a[r][c];
      rhs[j] ^= rhs[r];
    }
    ++r;
  }
  std::vector<std::optional<std::uint64_t>> x(cols);
  for (std::size_t i = a.size(); i-- > 0;) {
    std::optional<std::uint64_t> last_free;
    for (std::uint64_t c = 0; c < cols; ++c) {
      if (!a[i][c]) continue;
      if (!x[c]) {
        x[c] = Scripted::r(++draws);
        last_free = c;
      }
      rhs[i] ^= *x[c];
    }
    if (!last_free) return std::nullopt;
    *x[*last_free] ^= rhs[i];
  }
  return x;
}

// The same, drawing R(1), R(2), ... from the start.
inline std::optional<std::vector<std::optional<std::uint64_t>>> reference_solve(std::uint64_t cols, const Rows& rows,
                                                                                std::vector<std::uint64_t> rhs) {
  int draws = 0;
  return reference_solve(cols, rows, std::move(rhs), draws);
}

}  // namespace vorlinde::okvs::testing
