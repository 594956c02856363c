// scrub_stack clears what a returned callee left below the caller, on the
// calling thread (explicit call) and on a pool worker (the worker loop scrubs
// after each job). The dead stack is read as in tests/cpp/dead_stack.hpp; the
// same reading finds the marker when nothing scrubs it.

#include "runtime/stack_scrub.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "runtime/pool.hpp"
#include "runtime/rng.hpp"
#include "tests/cpp/dead_stack.hpp"

namespace vorlinde::runtime {
namespace {

using test_support::copy_dead_stack;
using test_support::kDeadStackBytes;
using test_support::on_each_worker;
using test_support::paint_dead_stack;

using Marker = std::array<std::uint8_t, 32>;
using Region = std::vector<std::uint8_t>;

Marker random_marker() {
  Marker m;
  fill_random(m);
  return m;
}

// Leaves `marker` `depth` bytes below its caller's frame and returns.
template <std::size_t depth>
__attribute__((noinline)) void leave_marker(const Marker& marker) {
  [[maybe_unused]] volatile std::uint8_t frame[depth];
  for (std::size_t i = 0; i < marker.size(); ++i) frame[i] = marker[i];
}

class ScrubStack : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test_support::dead_stack_readable()) GTEST_SKIP() << "dead stacks cannot be read here";
  }
};

bool holds(const Region& region, const Marker& marker) {
  return std::search(region.begin(), region.end(), marker.begin(), marker.end()) != region.end();
}

TEST_F(ScrubStack, ClearsWhatACalleeLeftBelowTheCaller) {
  const Marker shallow = random_marker();
  const Marker deep = random_marker();
  Region left(kDeadStackBytes), scrubbed(kDeadStackBytes);

  paint_dead_stack();
  leave_marker<256>(shallow);
  leave_marker<kScrubbedStackBytes / 2>(deep);
  copy_dead_stack(left.data());

  paint_dead_stack();
  leave_marker<256>(shallow);
  leave_marker<kScrubbedStackBytes / 2>(deep);
  scrub_stack();
  copy_dead_stack(scrubbed.data());

  EXPECT_TRUE(holds(left, shallow));
  EXPECT_TRUE(holds(left, deep));
  EXPECT_FALSE(holds(scrubbed, shallow));
  EXPECT_FALSE(holds(scrubbed, deep));
}

TEST_F(ScrubStack, ScopeExitScrubsOnReturnAndOnThrow) {
  const Marker marker = random_marker();
  Region after_return(kDeadStackBytes), after_throw(kDeadStackBytes);

  paint_dead_stack();
  [&] {
    const ScrubStackOnExit scrub;
    leave_marker<1024>(marker);
  }();
  copy_dead_stack(after_return.data());

  paint_dead_stack();
  try {
    [&] {
      const ScrubStackOnExit scrub;
      leave_marker<1024>(marker);
      throw std::runtime_error("failed");
    }();
  } catch (const std::runtime_error&) {
  }
  copy_dead_stack(after_throw.data());

  EXPECT_FALSE(holds(after_return, marker));
  EXPECT_FALSE(holds(after_throw, marker));
}

TEST_F(ScrubStack, WorkersScrubAfterEachJob) {
  const Marker marker = random_marker();
  std::vector<Region> stacks(pool_size(), Region(kDeadStackBytes));
  ASSERT_TRUE(on_each_worker([](std::size_t) { paint_dead_stack(); }));
  // One job in which every worker leaves the marker; each then scrubs.
  ASSERT_TRUE(on_each_worker([&](std::size_t) { leave_marker<1024>(marker); }));
  ASSERT_TRUE(on_each_worker([&](std::size_t w) { copy_dead_stack(stacks[w].data()); }));
  for (std::size_t w = 0; w < stacks.size(); ++w) EXPECT_FALSE(holds(stacks[w], marker)) << "worker " << w;

  // Within one job, before the scrub, the same reading sees it.
  ASSERT_TRUE(on_each_worker([&](std::size_t w) {
    paint_dead_stack();
    leave_marker<1024>(marker);
    copy_dead_stack(stacks[w].data());
  }));
  for (std::size_t w = 0; w < stacks.size(); ++w) EXPECT_TRUE(holds(stacks[w], marker)) << "worker " << w;
}

}  // namespace
}  // namespace vorlinde::runtime
