#include "runtime/pool.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/rng.hpp"

namespace vorlinde::runtime {
namespace {

// Runs parallel_for and returns how often each index was visited.
std::vector<int> visits(std::size_t n) {
  std::vector<std::atomic<int>> count(n);
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    ASSERT_LE(begin, end);
    ASSERT_LE(end, n);
    for (std::size_t i = begin; i < end; ++i) count[i].fetch_add(1, std::memory_order_relaxed);
  });
  std::vector<int> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = count[i].load();
  return out;
}

class ParallelForSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelForSizes, VisitsEveryIndexExactlyOnce) {
  std::size_t n = GetParam();
  auto v = visits(n);
  EXPECT_EQ(static_cast<std::size_t>(std::count(v.begin(), v.end(), 1)), n);
}

INSTANTIATE_TEST_SUITE_P(Pool, ParallelForSizes, ::testing::Values(0, 1, 2, 3, 17, 1000, 1000000));

// Results written by index come out exactly as a sequential loop lays them out.
TEST(Pool, ResultsLandInInputOrder) {
  const std::size_t n = 100000;
  std::vector<std::uint64_t> out(n);
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = i * i + 1;
  });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i * i + 1) << i;
}

// Guided chunks: the first claim is n / (2 * threads), sizes never grow along
// the cursor, the tail is single items, and the whole range takes far fewer
// chunks than items.
// With a grain larger than n a body sees each claim whole.
TEST(Pool, ChunksShrinkTowardSingleItems) {
  const std::size_t n = 10000;
  std::mutex m;
  std::vector<std::pair<std::size_t, std::size_t>> chunks;
  parallel_for(
      n,
      [&](std::size_t begin, std::size_t end) {
        std::lock_guard lock(m);
        chunks.emplace_back(begin, end);
      },
      SIZE_MAX);
  std::sort(chunks.begin(), chunks.end());
  ASSERT_FALSE(chunks.empty());
  EXPECT_EQ(chunks.front().first, 0u);
  EXPECT_EQ(chunks.front().second, std::max<std::size_t>(1, n / (2 * pool_size())));
  for (std::size_t i = 1; i < chunks.size(); ++i) {
    EXPECT_EQ(chunks[i].first, chunks[i - 1].second);
    EXPECT_LE(chunks[i].second - chunks[i].first, chunks[i - 1].second - chunks[i - 1].first);
  }
  EXPECT_EQ(chunks.back().second, n);
  EXPECT_EQ(chunks.back().second - chunks.back().first, 1u);
  EXPECT_LT(chunks.size(), n / 20);
}

// One item throws: the exception reaches the caller only after every running
// body has returned, and the pool still works afterwards.
TEST(Pool, ExceptionReachesCallerAfterRunningBodiesFinish) {
  for (int round = 0; round < 3; ++round) {
    std::atomic<int> running{0};
    bool caught = false;
    try {
      parallel_for(1000, [&](std::size_t begin, std::size_t end) {
        running.fetch_add(1);
        for (std::size_t i = begin; i < end; ++i) {
          if (i == 400) {
            running.fetch_sub(1);
            throw std::runtime_error("item 400");
          }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        running.fetch_sub(1);
      });
    } catch (const std::runtime_error& e) {
      caught = true;
      EXPECT_STREQ(e.what(), "item 400");
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(running.load(), 0);
    auto v = visits(5000);
    EXPECT_EQ(std::count(v.begin(), v.end(), 1), 5000);
  }
}

// After a failure no new chunks are claimed: with every item failing, only
// the chunks already claimed when the first failure happens run (at most one
// per worker), not all of them.
TEST(Pool, FailureStopsHandingOutChunks) {
  std::atomic<std::size_t> started{0};
  EXPECT_THROW(parallel_for(100000,
                            [&](std::size_t, std::size_t) {
                              started.fetch_add(1);
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                              throw std::logic_error("every item fails");
                            }),
               std::logic_error);
  EXPECT_LE(started.load(), 2 * pool_size());
}

TEST(Pool, NestedCallsComplete) {
  std::vector<std::atomic<int>> count(64 * 64);
  parallel_for(64, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      parallel_for(64, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) count[i * 64 + j].fetch_add(1);
      });
  });
  for (auto& c : count) ASSERT_EQ(c.load(), 1);
}

TEST(Pool, ConcurrentCallersDoNotInterfere) {
  std::vector<std::thread> callers;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        std::size_t n = 1000 + 37 * t + round;
        auto v = visits(n);
        if (static_cast<std::size_t>(std::count(v.begin(), v.end(), 1)) == n) good.fetch_add(1);
      }
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(good.load(), 80);
}

// A fork child gets a fresh pool (the parent's workers do not exist there) and
// its own random stream. alarm() turns a hang in the child into a failure.
TEST(Pool, ForkChildGetsAFreshPoolAndOwnRandomness) {
  visits(1000);  // the parent's pool exists and its workers are running
  std::uint8_t before[16];
  fill_random(before);
  for (int child = 0; child < 2; ++child) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      alarm(30);
      std::uint64_t sum = 0;
      std::mutex m;
      parallel_for(100000, [&](std::size_t begin, std::size_t end) {
        std::uint64_t s = 0;
        for (std::size_t i = begin; i < end; ++i) s += i;
        std::lock_guard lock(m);
        sum += s;
      });
      std::uint8_t msg[8 + 32];
      std::memcpy(msg, &sum, 8);
      fill_random({msg + 8, 32});
      _exit(write(fds[1], msg, sizeof msg) == static_cast<ssize_t>(sizeof msg) ? 0 : 1);
    }
    close(fds[1]);
    std::uint8_t msg[8 + 32];
    std::size_t have = 0;
    while (have < sizeof msg) {
      ssize_t r = read(fds[0], msg + have, sizeof msg - have);
      if (r <= 0) break;
      have += static_cast<std::size_t>(r);
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(have, sizeof msg);
    std::uint64_t sum;
    std::memcpy(&sum, msg, 8);
    EXPECT_EQ(sum, 100000ull * 99999 / 2);
    std::uint8_t parent[32];
    fill_random(parent);
    EXPECT_NE(std::memcmp(parent, msg + 8, 32), 0);
  }
  auto v = visits(1000);  // and the parent's pool still works
  EXPECT_EQ(std::count(v.begin(), v.end(), 1), 1000);
}

}  // namespace
}  // namespace vorlinde::runtime
