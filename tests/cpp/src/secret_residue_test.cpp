// Secrets left on dead stacks. Each operation runs with the calling thread's
// and every worker's dead stack painted; afterwards no window of the secret key
// and no window of its radix-16 digits (what scalar multiplication computes
// from it) may be found there. The keys are the ones the test hands to decrypt
// and finish and the one key_gen returns. The digits come from
// Scalar::as_radix_16, whose own test checks them against the plain
// definition (sum a_i 16^i = k).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "curve/scalar.hpp"
#include "runtime/pool.hpp"
#include "runtime/rng.hpp"
#include "src/operations.hpp"
#include "tests/cpp/dead_stack.hpp"

namespace vorlinde {
namespace {

using test_support::copy_dead_stack;
using test_support::kDeadStackBytes;
using test_support::on_each_worker;
using test_support::paint_dead_stack;

using Key = std::array<std::uint8_t, 32>;
using Region = std::vector<std::uint8_t>;

class VectorArg final : public BytesArg {
 public:
  explicit VectorArg(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::span<const std::uint8_t> get(const char*) const override { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Windows this long cannot match by chance in 128 KiB of stack (the key and
// digits are random), yet any copy of a quarter of the key is caught.
constexpr std::size_t kKeyWindow = 8;
constexpr std::size_t kDigitWindow = 16;

// "{stack} holds {what} at depth {d}" for each window of the key and of its
// digits found in `region`.
void find_secret(const Region& region, const Key& key, const std::string& stack, std::vector<std::string>& found) {
  const auto digits = curve::Scalar::from_bits(key).as_radix_16();
  std::array<std::uint8_t, 64> digit_bytes;
  std::copy(digits.begin(), digits.end(), digit_bytes.begin());
  auto search = [&](std::span<const std::uint8_t> secret, std::size_t window, const char* what) {
    for (std::size_t at = 0; at + window <= secret.size(); ++at) {
      const auto needle = secret.subspan(at, window);
      const auto hit = std::search(region.begin(), region.end(), needle.begin(), needle.end());
      if (hit != region.end()) {
        found.push_back(stack + " holds " + what + " bytes [" + std::to_string(at) + ", " +
                        std::to_string(at + window) + ") at depth " + std::to_string(region.end() - hit));
      }
    }
  };
  search(key, kKeyWindow, "key");
  search(digit_bytes, kDigitWindow, "digit");
}

struct DeadStacks {
  Region caller = Region(kDeadStackBytes);
  std::vector<Region> workers = std::vector<Region>(runtime::pool_size(), Region(kDeadStackBytes));
  bool workers_reached = true;
};

// An operation that names its secret in `secret` (before it may fail).
using Operation = std::function<void(Key& secret)>;

// Runs `op` between painting and copying the dead stacks of the calling thread
// and of every worker, and fills the copies. Some cases expect `op` to fail;
// the failure is swallowed.
Key run_painted(const Operation& op, DeadStacks& stacks) {
  stacks.workers_reached = on_each_worker([](std::size_t) { paint_dead_stack(); });
  Key secret{};
  paint_dead_stack();
  try {
    op(secret);
  } catch (const std::exception&) {
  }
  copy_dead_stack(stacks.caller.data());
  stacks.workers_reached &= on_each_worker([&](std::size_t w) { copy_dead_stack(stacks.workers[w].data()); });
  return secret;
}

std::vector<std::string> residue_after(const Operation& op) {
  DeadStacks stacks;
  const Key key = run_painted(op, stacks);
  std::vector<std::string> found;
  // An unset key would "find" the zeros of every wiped buffer.
  if (key == Key{}) found.push_back("the operation named no secret");
  if (!stacks.workers_reached) found.push_back("the workers' stacks could not all be read");
  find_secret(stacks.caller, key, "the calling thread's stack", found);
  for (std::size_t w = 0; w < stacks.workers.size(); ++w) {
    find_secret(stacks.workers[w], key, "worker " + std::to_string(w) + "'s stack", found);
  }
  return found;
}

// A secret key with bit 255 clear, so that its bytes are the scalar's bytes.
Key random_key() {
  Key key;
  runtime::fill_random(key);
  key[31] &= 0x7f;
  return key;
}

// `count` valid encodings (multiples of the base point), then, when asked, one
// that no point has: y = 2, for which (y^2 - 1) / (d y^2 + 1) is not a square
// mod p (Euler's criterion, computed with Python integers).
std::vector<std::uint8_t> point_stream(std::size_t count, bool invalid_last) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < count; ++i) {
    const KeyPair pair = key_gen();
    out.insert(out.end(), pair.public_key.begin(), pair.public_key.end());
  }
  if (invalid_last) {
    Key y2{};
    y2[0] = 2;
    out.insert(out.end(), y2.begin(), y2.end());
  }
  return out;
}

// Enough records that every worker takes some (ranges are handed out in
// shrinking chunks, the first a quarter of the work with two workers).
constexpr std::size_t kRecords = 64;

TEST(SecretResidue, KeyGenLeavesNoCopyOfTheNewKey) {
  const auto found = residue_after([](Key& secret) {
    const KeyPair pair = key_gen();
    secret = pair.secret_key;
  });
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

class SecretResidueOfKey : public ::testing::TestWithParam<bool> {};

TEST_P(SecretResidueOfKey, DecryptLeavesNoCopyOfTheBankKey) {
  const bool fails = GetParam();
  const Key key = random_key();
  const VectorArg points(point_stream(kRecords, fails));
  const VectorArg secret(std::vector<std::uint8_t>(key.begin(), key.end()));
  const auto found = residue_after([&](Key& named) {
    named = key;
    decrypt(points, secret);
  });
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

TEST_P(SecretResidueOfKey, FinishLeavesNoCopyOfTheOperatorKey) {
  const bool fails = GetParam();
  const Key key = random_key();
  const VectorArg points(point_stream(kRecords / 4, fails));
  const VectorArg secret(std::vector<std::uint8_t>(key.begin(), key.end()));
  const auto found = residue_after([&](Key& named) {
    named = key;
    finish(points, points, points, points, secret);
  });
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

INSTANTIATE_TEST_SUITE_P(SuccessAndFailure, SecretResidueOfKey, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Failing" : "Succeeding"; });

// The search itself: a key and its digits left on the stack on purpose are
// found on the calling thread and on every worker, so an empty result above
// means something.
__attribute__((noinline)) void leave_on_stack(const Key& key) {
  const auto digits = curve::Scalar::from_bits(key).as_radix_16();
  // At the bottom of a frame deeper than the readers' own.
  [[maybe_unused]] volatile std::uint8_t frame[1024];
  for (std::size_t i = 0; i < 32; ++i) frame[i] = key[i];
  for (std::size_t i = 0; i < 64; ++i) frame[64 + i] = static_cast<std::uint8_t>(digits[i]);
}

TEST(SecretResidue, FindsAKeyLeftOnPurpose) {
  const Key key = random_key();
  DeadStacks stacks;
  paint_dead_stack();
  leave_on_stack(key);
  copy_dead_stack(stacks.caller.data());
  ASSERT_TRUE(on_each_worker([&](std::size_t w) {
    paint_dead_stack();
    leave_on_stack(key);
    copy_dead_stack(stacks.workers[w].data());
  }));
  std::vector<std::string> found;
  find_secret(stacks.caller, key, "caller", found);
  for (const Region& worker : stacks.workers) find_secret(worker, key, "worker", found);
  // Every key and digit window, on every stack.
  const std::size_t windows = (32 - kKeyWindow + 1) + (64 - kDigitWindow + 1);
  EXPECT_EQ(found.size(), windows * (1 + stacks.workers.size())) << ::testing::PrintToString(found);
}

}  // namespace
}  // namespace vorlinde
