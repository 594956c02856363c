// Cancellation through the host's hook, and operations that find the pool in
// use. The hook here stands in for the module's signal check.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/cancellation.hpp"
#include "runtime/pool.hpp"

namespace vorlinde::runtime {
namespace {

struct Cancelled : std::runtime_error {
  Cancelled() : std::runtime_error("cancelled") {}
};

std::atomic<int> g_polls{0};
std::atomic<int> g_cancel_after{-1};  // throw on this poll; -1: never
std::atomic<bool> g_polled_on_worker{false};

void counting_hook() {
  if (on_pool_worker()) g_polled_on_worker = true;
  const int poll = g_polls.fetch_add(1) + 1;
  if (poll == g_cancel_after.load()) throw Cancelled();
}

// Installs the counting hook for one test and removes it afterwards.
class Hooked : public ::testing::Test {
 protected:
  void SetUp() override {
    g_polls = 0;
    g_cancel_after = -1;
    g_polled_on_worker = false;
    set_cancellation_hook(counting_hook);
  }
  void TearDown() override { set_cancellation_hook(nullptr); }
};

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The waiting caller polls; an exception from the hook abandons the work:
// the items still running finish, no further item starts, and the caller
// sees the hook's exception, not a result.
TEST_F(Hooked, HookExceptionCancelsTheWork) {
  g_cancel_after = 3;
  const std::size_t n = 10000;  // 2 ms each: 10 s per worker if never stopped
  std::atomic<std::size_t> started{0};
  std::atomic<int> running{0};
  std::atomic<bool> ran_after_return{false};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(parallel_for(n,
                            [&](std::size_t begin, std::size_t end) {
                              running.fetch_add(1);
                              started.fetch_add(end - begin);
                              sleep_ms(2);
                              running.fetch_sub(1);
                            }),
               Cancelled);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(running.load(), 0);
  EXPECT_LT(started.load(), n / 4);
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_EQ(g_polls.load(), 3);
  EXPECT_FALSE(g_polled_on_worker.load());
  (void)ran_after_return;

  // The pool is usable afterwards, and a hook that returns lets work finish.
  g_cancel_after = -1;
  std::vector<std::atomic<int>> count(2000);
  parallel_for(count.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) count[i].fetch_add(1);
    sleep_ms(0);
  });
  for (auto& c : count) ASSERT_EQ(c.load(), 1);
}

TEST_F(Hooked, HookThatReturnsLetsTheWorkFinish) {
  std::vector<std::atomic<int>> count(200);
  parallel_for(count.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) count[i].fetch_add(1);
    sleep_ms(1);
  });
  for (auto& c : count) ASSERT_EQ(c.load(), 1);
  EXPECT_GT(g_polls.load(), 0);  // about 100 ms of work, polled every 25 ms
  EXPECT_FALSE(g_polled_on_worker.load());
}

TEST_F(Hooked, SequentialTickerPollsAtItsInterval) {
  CancellationTicker ticker(10);
  for (int i = 0; i < 95; ++i) ticker.tick();
  EXPECT_EQ(g_polls.load(), 9);
  g_cancel_after = 10;
  for (int i = 0; i < 4; ++i) ticker.tick();
  EXPECT_THROW(ticker.tick(), Cancelled);
}

std::set<std::thread::id> threads_used(std::size_t n) {
  std::mutex m;
  std::set<std::thread::id> ids;
  parallel_for(n, [&](std::size_t, std::size_t) {
    std::lock_guard lock(m);
    ids.insert(std::this_thread::get_id());
    sleep_ms(0);
  });
  return ids;
}

// An operation that starts while another owns the pool (here: nested, as from
// inside a hook) runs on its calling thread; the pool is the first one's again
// afterwards.
TEST(OperationScope, OnlyTheFirstOperationInFlightUsesThePool) {
  if (pool_size() < 2) GTEST_SKIP() << "needs two workers";
  const std::set<std::thread::id> me{std::this_thread::get_id()};
  {
    OperationScope outer;
    ASSERT_TRUE(outer.owns_pool());
    EXPECT_EQ(threads_used(64).count(std::this_thread::get_id()), 0u);  // workers only
    {
      OperationScope nested;
      EXPECT_FALSE(nested.owns_pool());
      EXPECT_EQ(threads_used(64), me);
    }
    // Another thread's operation meanwhile runs on that thread.
    std::thread other([] {
      OperationScope scope;
      EXPECT_FALSE(scope.owns_pool());
      EXPECT_EQ(threads_used(64), std::set<std::thread::id>{std::this_thread::get_id()});
    });
    other.join();
    EXPECT_EQ(threads_used(64).count(std::this_thread::get_id()), 0u);
  }
  OperationScope next;
  EXPECT_TRUE(next.owns_pool());
}

// Inline work polls too, between ranges, so a cancelled nested operation
// stops early as well.
TEST_F(Hooked, InlineWorkIsCancelledBetweenRanges) {
  OperationScope outer;
  OperationScope nested;
  ASSERT_FALSE(nested.owns_pool());
  g_cancel_after = 2;
  std::size_t ran = 0;
  EXPECT_THROW(parallel_for(1000,
                            [&](std::size_t begin, std::size_t end) {
                              ran += end - begin;
                              sleep_ms(5);
                            }),
               Cancelled);
  EXPECT_LT(ran, 30u);  // two polls 25 ms apart: about ten 5 ms items
}

}  // namespace
}  // namespace vorlinde::runtime
