#include "okvs/elimination.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "okvs_reference.hpp"
#include "runtime/failure.hpp"
#include "tests/cpp/failure_message.hpp"

namespace vorlinde::okvs {
namespace {

using testing::reference_solve;
using testing::Rows;
using testing::Scripted;

static_assert(Bits<Scripted>);

std::vector<std::optional<Scripted>> solve_scripted(std::uint64_t cols, const Rows& rows,
                                                    const std::vector<std::uint64_t>& rhs) {
  SparseBoolMatrix m(cols);
  for (const auto& row : rows) m.push_row(row);
  std::vector<Scripted> values;
  for (auto y : rhs) values.push_back({y});
  Scripted::draws = 0;
  return std::move(m).solve<Scripted>(std::move(values));
}

std::string solve_failure(std::uint64_t cols, const Rows& rows, const std::vector<std::uint64_t>& rhs) {
  return test_support::failure_message([&] { solve_scripted(cols, rows, rhs); });
}

// Each row's equation evaluated directly on the solution.
void expect_equations_hold(const Rows& rows, const std::vector<std::uint64_t>& rhs,
                           const std::vector<std::optional<Scripted>>& x) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::uint64_t acc = 0;
    for (auto c : rows[i]) {
      ASSERT_TRUE(x[c].has_value()) << "column " << c;
      acc ^= x[c]->w;
    }
    EXPECT_EQ(acc, rhs[i]) << "row " << i;
  }
}

TEST(OkvsElimination, NoRowsDrawsNothing) {
  auto x = solve_scripted(40, {}, {});
  EXPECT_EQ(x.size(), 40u);
  for (const auto& v : x) EXPECT_FALSE(v.has_value());
  EXPECT_EQ(Scripted::draws, 0);
}

// Columns are visited in ascending order and every free one draws; the row's
// largest free column is computed.
TEST(OkvsElimination, WhichColumnIsComputed) {
  const auto R = Scripted::r;
  {
    auto x = solve_scripted(10, {{3}}, {0x55});
    EXPECT_EQ(x[3]->w, 0x55u);
  }
  {
    auto x = solve_scripted(10, {{2, 7}}, {0x55});
    EXPECT_EQ(x[2]->w, R(1));
    EXPECT_EQ(x[7]->w, R(1) ^ 0x55);
    EXPECT_EQ(Scripted::draws, 2);
    EXPECT_FALSE(x[0].has_value());
  }
  {
    // The last row goes first: b random, c computed; then a computed.
    auto x = solve_scripted(10, {{1, 4}, {4, 8}}, {0x11, 0x22});
    EXPECT_EQ(x[4]->w, R(1));
    EXPECT_EQ(x[8]->w, R(1) ^ 0x22);
    EXPECT_EQ(x[1]->w, R(1) ^ 0x11);
    EXPECT_EQ(Scripted::draws, 3);
  }
}

TEST(OkvsElimination, DependentRowsFail) {
  const std::string unwrap = "called `Option::unwrap()` on a `None` value";
  EXPECT_EQ(solve_failure(10, {{1, 2}, {1, 2}}, {5, 5}), unwrap);  // consistent, still dependent
  EXPECT_EQ(solve_failure(10, {{1, 2}, {1, 2}}, {5, 6}), unwrap);
  EXPECT_EQ(solve_failure(10, {{}}, {0}), unwrap);
  EXPECT_EQ(solve_failure(10, {{1, 2}, {2, 3}, {1, 3}}, {1, 2, 3}), unwrap);
}

TEST(OkvsElimination, CallerErrors) {
  EXPECT_EQ(solve_failure(10, {{1}, {2}}, {1}),
            "assertion `left == right` failed: matrix rows and right-hand sides differ in number\n"
            "  left: 2\n right: 1");
  EXPECT_EQ(solve_failure(10, {{4, 10}}, {1}), "index out of bounds: the len is 10 but the index is 10");
}

// Random systems of up to 8 rows, checked against a bit-mask rank computed
// here: independent systems are solved with every equation holding, exactly
// the mentioned columns assigned, and the very values of the literal oracle
// (which columns draw, which are computed); dependent ones fail.
TEST(OkvsElimination, RandomSystemsAgainstRank) {
  std::mt19937_64 gen(12345);
  int solved = 0, dependent = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::uint64_t cols = 6 + gen() % 58;
    const std::size_t count = gen() % 9;
    Rows rows(count);
    std::vector<std::uint64_t> masks(count), rhs(count);
    std::uint64_t mentioned = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const int size = static_cast<int>(gen() % 4);
      for (int t = 0; t < size; ++t) rows[i].insert(gen() % cols);
      for (auto c : rows[i]) masks[i] |= 1ULL << c;
      mentioned |= masks[i];
      rhs[i] = gen();
    }
    std::vector<std::uint64_t> basis;
    bool independent = true;
    for (auto v : masks) {
      for (auto b : basis) v = std::min(v, v ^ b);
      if (v == 0) independent = false;
      else basis.push_back(v);
    }
    if (independent) {
      auto x = solve_scripted(cols, rows, rhs);
      expect_equations_hold(rows, rhs, x);
      const auto expected = reference_solve(cols, rows, rhs);
      ASSERT_TRUE(expected.has_value());
      for (std::uint64_t c = 0; c < cols; ++c) {
        ASSERT_EQ(x[c].has_value(), (*expected)[c].has_value());
        if (x[c]) {
          EXPECT_EQ(x[c]->w, *(*expected)[c]) << "column " << c;
        }
      }
      for (std::uint64_t c = 0; c < cols; ++c) EXPECT_EQ(x[c].has_value(), ((mentioned >> c) & 1) != 0);
      ++solved;
    } else {
      EXPECT_EQ(solve_failure(cols, rows, rhs), "called `Option::unwrap()` on a `None` value");
      EXPECT_FALSE(reference_solve(cols, rows, rhs).has_value());
      ++dependent;
    }
  }
  EXPECT_GT(solved, 500);
  EXPECT_GT(dependent, 500);
}

}  // namespace
}  // namespace vorlinde::okvs
