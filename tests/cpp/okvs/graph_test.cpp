#include "okvs/graph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "tests/cpp/failure_message.hpp"

namespace vorlinde::okvs {
namespace {

using vorlinde::test_support::failure_message;

using Graph = UndirectedGraph<int>;

TEST(OkvsGraph, AddRules) {
  Graph g(4);
  EXPECT_TRUE(g.add_edge(1, 2, 10));
  EXPECT_FALSE(g.add_edge(2, 1, 11));  // the same edge from the other side
  EXPECT_FALSE(g.add_edge(1, 2, 12));
  EXPECT_TRUE(g.add_edge(3, 3, 13));
  EXPECT_FALSE(g.add_edge(3, 3, 14));  // one loop per vertex
  EXPECT_TRUE(g.add_edge(3, 1, 15));   // a loop and a list edge at one vertex
  EXPECT_EQ(g.edge_count(), 3u);
  EXPECT_EQ(g.degree(1), 2u);
  EXPECT_EQ(g.degree(3), 1u);  // loops are not list entries
  EXPECT_TRUE(g.has_self_loop(3));
  EXPECT_FALSE(g.has_self_loop(1));
  EXPECT_FALSE(g.has_no_self_loops());
}

TEST(OkvsGraph, LoopBlocksPopOnlyAndIsPoppedFirst) {
  Graph g(3);
  ASSERT_TRUE(g.add_edge(0, 0, 1));
  ASSERT_TRUE(g.add_edge(0, 2, 2));
  EXPECT_FALSE(g.pop_only_edge(0).has_value());
  EXPECT_EQ(g.edge_count(), 2u);

  auto loop = g.pop_edge(0);
  ASSERT_TRUE(loop.has_value());
  EXPECT_EQ(loop->to, 0u);
  EXPECT_EQ(loop->data, 1);
  EXPECT_TRUE(g.has_no_self_loops());

  auto entry = g.pop_edge(0);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->to, 2u);
  EXPECT_EQ(entry->data, 2);
  EXPECT_EQ(g.degree(2), 0u);  // the mirror went with it
  EXPECT_EQ(g.edge_count(), 0u);
  EXPECT_FALSE(g.pop_edge(0).has_value());
}

TEST(OkvsGraph, PopOnlyEdgeNeedsExactlyOneEntry) {
  Graph g(4);
  ASSERT_TRUE(g.add_edge(0, 1, 1));
  ASSERT_TRUE(g.add_edge(0, 2, 2));
  EXPECT_FALSE(g.pop_only_edge(0).has_value());  // two entries
  EXPECT_FALSE(g.pop_only_edge(3).has_value());  // none
  EXPECT_EQ(g.edge_count(), 2u);

  auto e = g.pop_only_edge(1);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->to, 0u);
  EXPECT_EQ(e->data, 1);
  EXPECT_EQ(g.degree(1), 0u);
  EXPECT_EQ(g.degree(0), 1u);
  EXPECT_EQ(g.edge_count(), 1u);
  // Now 0 holds one edge: the chain continues there.
  e = g.pop_only_edge(0);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->to, 2u);
  EXPECT_EQ(g.edge_count(), 0u);
  EXPECT_EQ(g.degree(2), 0u);
}

// Mirror removal scans from the front and moves the last entry into the gap;
// pop_edge drains from the back. Together they fix the order in which a
// vertex's remaining edges come out.
TEST(OkvsGraph, MirrorRemovalSwapsWithLastEntry) {
  Graph g(6);
  for (int w = 1; w <= 5; ++w) ASSERT_TRUE(g.add_edge(0, w, w * 10));  // list of 0: 1 2 3 4 5
  ASSERT_TRUE(g.pop_only_edge(2).has_value());                           // list of 0: 1 5 3 4
  std::vector<std::uint64_t> order;
  while (auto e = g.pop_edge(0)) {
    order.push_back(e->to);
    EXPECT_EQ(e->data, static_cast<int>(e->to) * 10);
    EXPECT_EQ(g.degree(e->to), 0u);
  }
  EXPECT_EQ(order, (std::vector<std::uint64_t>{4, 3, 5, 1}));
  EXPECT_EQ(g.edge_count(), 0u);
}

TEST(OkvsGraph, PopFromEitherSideRemovesBothEntries) {
  for (std::uint64_t side : {0u, 1u}) {
    Graph g(3);
    ASSERT_TRUE(g.add_edge(1, 2, 8));
    ASSERT_TRUE(g.add_edge(0, 1, 7));  // last in the lists of 0 and of 1
    auto e = g.pop_edge(side);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->data, 7);
    EXPECT_EQ(e->to, 1 - side);
    EXPECT_EQ(g.degree(0), 0u);
    EXPECT_EQ(g.degree(1), 1u);
    EXPECT_EQ(g.edge_count(), 1u);
    EXPECT_TRUE(g.add_edge(1, 0, 9));  // the pair is free again
  }
}

TEST(OkvsGraph, VertexOutOfRangeFails) {
  Graph empty(0);
  EXPECT_EQ(empty.edge_count(), 0u);
  EXPECT_EQ(failure_message([&] { empty.add_edge(0, 0, 1); }), "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(failure_message([&] { empty.pop_only_edge(0); }), "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(failure_message([&] { empty.pop_edge(0); }), "index out of bounds: the len is 0 but the index is 0");

  Graph g(3);
  EXPECT_EQ(failure_message([&] { g.add_edge(3, 0, 1); }), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(failure_message([&] { g.add_edge(0, 7, 1); }), "index out of bounds: the len is 3 but the index is 7");
  EXPECT_EQ(failure_message([&] { g.pop_edge(5); }), "index out of bounds: the len is 3 but the index is 5");
}

}  // namespace
}  // namespace vorlinde::okvs
