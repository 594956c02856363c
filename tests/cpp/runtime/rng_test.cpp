#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/chacha.hpp"
#include "runtime/chacha_rng.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::runtime {
namespace {

// Key sources with observable keys: the k-th key drawn (from 0) is 32 bytes of
// value k + 1. `g_fail_from` makes every draw from that index on fail.
int g_draws = 0;
int g_fail_from = 1 << 30;

int numbered_keys(std::span<std::uint8_t> out) {
  if (g_draws >= g_fail_from) return EAGAIN;
  std::memset(out.data(), g_draws + 1, out.size());
  ++g_draws;
  return 0;
}

void reset_source(int fail_from = 1 << 30) {
  g_draws = 0;
  g_fail_from = fail_from;
}

// Oracle: the ChaCha12 keystream of key number k, from block 0, computed
// directly with the block function (checked against RFC 8439 / libsodium).
std::vector<std::uint8_t> keystream(int k, std::size_t bytes) {
  std::array<std::uint8_t, 32> key;
  key.fill(static_cast<std::uint8_t>(k + 1));
  std::array<std::uint8_t, 12> nonce{};
  ChaChaState s = chacha_state(key, 0, nonce);
  std::vector<std::uint8_t> out((bytes + 63) / 64 * 64);
  chacha_blocks(s, 12, out);
  out.resize(bytes);
  return out;
}

std::uint32_t le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

// Mixed-size reads must lay out exactly the keystream, whatever the buffering:
// odd fills leave partial words, which next_u32 skips to the next 4-aligned word.
TEST(ChaChaRng, OutputIsTheKeystreamAcrossReadSizes) {
  reset_source();
  ChaChaRng rng(numbered_keys);
  auto ks = keystream(0, 4096);
  std::size_t pos = 0;
  for (std::size_t n : {1u, 63u, 64u, 200u, 3u, 1000u, 7u}) {
    std::vector<std::uint8_t> got(n);
    rng.fill(got);
    ASSERT_TRUE(std::equal(got.begin(), got.end(), ks.begin() + pos)) << "fill of " << n;
    pos += n;
    if (pos % 256 != 0 && (pos % 256) + 4 > 256) pos = (pos / 256 + 1) * 256;
    ASSERT_EQ(rng.next_u32(), le32(&ks[pos])) << "after fill of " << n;
    pos += 4;
    if (pos % 256 != 0 && (pos % 256) + 4 > 256) pos = (pos / 256 + 1) * 256;
    std::uint64_t lo = le32(&ks[pos]);
    std::uint64_t hi = le32(&ks[pos + 4]);
    ASSERT_EQ(rng.next_u64(), lo | hi << 32);
    pos += 8;
  }
  EXPECT_EQ(rng.keyings(), 1u);
}

// 65,536 bytes come from the first key, the next byte from a fresh one, for
// bulk fills, small fills and word reads alike.
TEST(ChaChaRng, RekeysAfterEvery65536Bytes) {
  auto second = keystream(1, 64);
  {
    reset_source();
    ChaChaRng rng(numbered_keys);
    std::vector<std::uint8_t> first(65536);
    rng.fill(first);
    EXPECT_EQ(first, keystream(0, 65536));
    EXPECT_EQ(rng.keyings(), 1u);
    std::vector<std::uint8_t> next(64);
    rng.fill(next);
    EXPECT_EQ(next, second);
    EXPECT_EQ(rng.keyings(), 2u);
  }
  {
    reset_source();
    ChaChaRng rng(numbered_keys);
    std::uint8_t byte;
    for (int i = 0; i < 65536; ++i) rng.fill({&byte, 1});
    EXPECT_EQ(rng.keyings(), 1u);
    rng.fill({&byte, 1});
    EXPECT_EQ(byte, second[0]);
    EXPECT_EQ(rng.keyings(), 2u);
  }
  {
    reset_source();
    ChaChaRng rng(numbered_keys);
    for (int i = 0; i < 65536 / 8; ++i) rng.next_u64();
    EXPECT_EQ(rng.keyings(), 1u);
    EXPECT_EQ(rng.next_u32(), le32(second.data()));
    for (int i = 0; i < 3 * 65536 / 4; ++i) rng.next_u32();
    EXPECT_EQ(rng.keyings(), 5u);
  }
}

TEST(ChaChaRng, FirstKeyingFailureThrowsInitializeMessage) {
  reset_source(0);
  ChaChaRng rng(numbered_keys);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      rng.next_u32();
      FAIL() << "no failure";
    } catch (const Failure& f) {
      EXPECT_EQ(std::string(f.what()), "could not initialize thread_rng: " + std::system_category().message(EAGAIN) +
                                           " (os error " + std::to_string(EAGAIN) + ")");
    }
  }
  EXPECT_EQ(rng.keyings(), 0u);
}

// A failed rekey must not let the used-up key go on: every read fails until
// the source works again, and then the output comes from the new key.
TEST(ChaChaRng, FailedReseedNeverReusesTheOldKey) {
  reset_source(1);
  ChaChaRng rng(numbered_keys);
  std::vector<std::uint8_t> first(65536);
  rng.fill(first);
  std::uint8_t byte;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      rng.fill({&byte, 1});
      FAIL() << "no failure";
    } catch (const Failure& f) {
      EXPECT_EQ(std::string(f.what()).rfind("could not reseed thread_rng: ", 0), 0u) << f.what();
    }
    EXPECT_THROW(rng.next_u32(), Failure);
  }
  g_fail_from = 1 << 30;
  EXPECT_EQ(rng.next_u32(), le32(keystream(1, 4).data()));
}

std::vector<std::uint8_t> random_bytes(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  fill_random(v);
  return v;
}

TEST(ThreadRng, ThreadsHaveDifferentStreams) {
  auto here = random_bytes(64);
  std::vector<std::uint8_t> a, b;
  std::thread ta([&] { a = random_bytes(64); });
  std::thread tb([&] { b = random_bytes(64); });
  ta.join();
  tb.join();
  EXPECT_NE(a, b);
  EXPECT_NE(a, here);
  EXPECT_NE(b, here);
  EXPECT_NE(here, random_bytes(64));
}

// Runs `child` in a forked process and returns the 64 bytes it writes back.
template <class F>
std::vector<std::uint8_t> from_child(F child) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::vector<std::uint8_t> out = child();
    ssize_t w = write(fds[1], out.data(), out.size());
    _exit(w == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::vector<std::uint8_t> got(64);
  std::size_t have = 0;
  while (have < got.size()) {
    ssize_t r = read(fds[0], got.data() + have, got.size() - have);
    if (r <= 0) break;
    have += static_cast<std::size_t>(r);
  }
  close(fds[0]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(have, got.size());
  return got;
}

// The buffer holds unread output at the fork; without a rekey parent and
// children would all read the same next bytes.
TEST(ThreadRng, ForkGivesParentAndChildrenDifferentStreams) {
  random_bytes(1);
  auto child1 = from_child([] { return random_bytes(64); });
  auto parent = random_bytes(64);
  auto child2 = from_child([] { return random_bytes(64); });
  EXPECT_NE(child1, parent);
  EXPECT_NE(child1, child2);
  EXPECT_NE(child2, random_bytes(64));
}

}  // namespace
}  // namespace vorlinde::runtime
