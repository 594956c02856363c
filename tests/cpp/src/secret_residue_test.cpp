// Secrets left on dead stacks. Each operation runs, once per backend this
// processor runs, with the calling thread's
// and every worker's dead stack painted; afterwards no window of the secret key
// and no window of its radix-16 digits (what scalar multiplication computes
// from it) may be found there. The keys are the ones the test hands to decrypt
// and finish and the one key_gen returns. The digits come from
// Scalar::as_radix_16, whose own test checks them against the plain
// definition (sum a_i 16^i = k).
//
// The random scalars of build_okvs, initiate_queries and randomize cannot be
// handed to the test, but each leaves s G in the result, so a stack window is
// one of them exactly when it multiplies the base point to one of those
// points; digit windows are first summed back into an integer.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "curve/backend.hpp"
#include "curve/edwards.hpp"
#include "curve/scalar.hpp"
#include "okvs/schemes/paxos.hpp"
#include "src/ciphertexts.hpp"
#include "src/data_rows.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"
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

class SecretResidue : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test_support::dead_stack_readable()) GTEST_SKIP() << "dead stacks cannot be read here";
  }
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

// The points s G of the random scalars s an operation used, as encodings.
using Targets = std::set<Key>;

Key times_base(const Key& scalar) {
  return (curve::ED25519_BASEPOINT_TABLE * curve::Scalar::from_bits(scalar)).compress().bytes;
}

std::size_t count_of(std::span<const std::uint8_t> window, std::uint8_t value) {
  return static_cast<std::size_t>(std::count(window.begin(), window.end(), value));
}

// sum d_i 16^i for 64 signed digits in [-8, 8], when it is a non-negative
// integer below 2^256.
std::optional<Key> from_digits(std::span<const std::uint8_t> window) {
  Key out;
  int carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const int lo = static_cast<std::int8_t>(window[2 * i]);
    const int hi = static_cast<std::int8_t>(window[2 * i + 1]);
    const int v = lo + 16 * hi + carry;
    out[i] = static_cast<std::uint8_t>(v & 0xff);
    carry = (v - (v & 0xff)) / 256;
  }
  if (carry != 0) return std::nullopt;
  return out;
}

// Random scalars are reduced (below l < 2^253), so their last byte is at most
// 0x1f; a random one has few zero bytes, and no frame of paint holds one whole.
// Scalars lie 8-aligned on the stack (the region starts 16-aligned); digit
// arrays are looked for at every offset, since the range test is cheap.
void find_random_scalars(const Region& region, const Targets& targets, const std::string& stack,
                         std::vector<std::string>& found) {
  const std::span<const std::uint8_t> all(region);
  for (std::size_t at = 0; at + 32 <= all.size(); at += 8) {
    const auto window = all.subspan(at, 32);
    if (window[31] > 0x1f || count_of(window, 0) > 4 || count_of(window, test_support::kStackPaint) > 4) continue;
    Key candidate;
    std::copy(window.begin(), window.end(), candidate.begin());
    if (targets.contains(times_base(candidate))) {
      found.push_back(stack + " holds a random scalar at depth " + std::to_string(all.size() - at));
    }
  }
  for (std::size_t at = 0; at + 64 <= all.size(); ++at) {
    const auto window = all.subspan(at, 64);
    const bool digits = std::all_of(window.begin(), window.end(), [](std::uint8_t b) {
      const int d = static_cast<std::int8_t>(b);
      return d >= -8 && d <= 8;
    });
    if (!digits || count_of(window, 0) > 24) continue;
    const std::optional<Key> candidate = from_digits(window);
    if (candidate && (*candidate)[31] <= 0x1f && targets.contains(times_base(*candidate))) {
      found.push_back(stack + " holds a random scalar's digits at depth " + std::to_string(all.size() - at));
    }
  }
}

std::vector<std::string> random_residue_after(const std::function<Targets()>& op) {
  DeadStacks stacks;
  Targets targets;
  run_painted([&](Key&) { targets = op(); }, stacks);
  std::vector<std::string> found;
  if (!stacks.workers_reached) found.push_back("the workers' stacks could not all be read");
  if (targets.empty()) found.push_back("the operation showed no s G");
  find_random_scalars(stacks.caller, targets, "the calling thread's stack", found);
  for (std::size_t w = 0; w < stacks.workers.size(); ++w) {
    find_random_scalars(stacks.workers[w], targets, "worker " + std::to_string(w) + "'s stack", found);
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
// shrinking chunks, the first a quarter of the work with two workers, and
// the operations hand out 64 records at a time).
constexpr std::size_t kRecords = 256;

TEST_F(SecretResidue, KeyGenLeavesNoCopyOfTheNewKey) {
  for (const curve::Backend* backend : curve::available_backends()) {
    SCOPED_TRACE(backend->name);
    const curve::ScopedBackendForTesting use(*backend);
    const auto found = residue_after([](Key& secret) {
      const KeyPair pair = key_gen();
      secret = pair.secret_key;
    });
    EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  }
}

class SecretResidueOfKey : public SecretResidue, public ::testing::WithParamInterface<bool> {};

TEST_P(SecretResidueOfKey, DecryptLeavesNoCopyOfTheBankKey) {
  for (const curve::Backend* backend : curve::available_backends()) {
    SCOPED_TRACE(backend->name);
    const curve::ScopedBackendForTesting use(*backend);
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
}

TEST_P(SecretResidueOfKey, FinishLeavesNoCopyOfTheOperatorKey) {
  for (const curve::Backend* backend : curve::available_backends()) {
    SCOPED_TRACE(backend->name);
    const curve::ScopedBackendForTesting use(*backend);
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
}

INSTANTIATE_TEST_SUITE_P(SuccessAndFailure, SecretResidueOfKey, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Failing" : "Succeeding"; });

// Rows and a bank's store over them, made before any stack is painted.
struct Bank {
  Rows rows;
  KeyPair keys = key_gen();
  VectorArg public_key{std::vector<std::uint8_t>(keys.public_key.begin(), keys.public_key.end())};

  Bank() {
    for (std::size_t i = 0; i < kRecords; ++i) rows.push_back({"row", std::to_string(i)});
  }
};

TEST_F(SecretResidue, BuildOkvsLeavesNoRandomScalar) {
  for (const curve::Backend* backend : curve::available_backends()) {
    SCOPED_TRACE(backend->name);
    const curve::ScopedBackendForTesting use(*backend);
    const Bank bank;
    const auto found = random_residue_after([&] {
      // Row i's value c1 is a representative of r_i G.
      const auto store = okvs::Paxos<Ciphertext>::from_bytes(build_okvs(bank.public_key, bank.rows));
      Targets targets;
      for (const Row& row : bank.rows) {
        targets.insert(uniform_bytes_to_point(store.decode(DataRow(row)).c1).compress().bytes);
      }
      return targets;
    });
    EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  }
}

TEST_F(SecretResidue, InitiateQueriesLeavesNoRandomScalar) {
  for (const curve::Backend* backend : curve::available_backends()) {
    SCOPED_TRACE(backend->name);
    const curve::ScopedBackendForTesting use(*backend);
    const Bank sender, receiver, swift;
    const VectorArg sender_okvs(build_okvs(sender.public_key, sender.rows));
    const VectorArg receiver_okvs(build_okvs(receiver.public_key, receiver.rows));
    const auto found = random_residue_after([&] {
      // Record i's gamma is s_i G.
      const Bytes records =
          initiate_queries(sender.rows, receiver.rows, sender_okvs, receiver_okvs, swift.public_key);
      Targets targets;
      for (std::size_t at = 0; at < records.size(); at += WideCiphertext::kSize) {
        targets.insert(WideCiphertext::from_bytes(std::span(records).subspan(at)).gamma.bytes);
      }
      return targets;
    });
    EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  }
}

TEST_F(SecretResidue, RandomizeLeavesNoRandomScalar) {
  for (const curve::Backend* backend : curve::available_backends()) {
    SCOPED_TRACE(backend->name);
    const curve::ScopedBackendForTesting use(*backend);
    // Records whose alpha is G: record i comes back with t_i G there.
    std::vector<std::uint8_t> records;
    const Key g = curve::ED25519_BASEPOINT_POINT.compress().bytes;
    for (std::size_t i = 0; i < 4 * kRecords; ++i) records.insert(records.end(), g.begin(), g.end());
    const VectorArg input(records);
    const auto found = random_residue_after([&] {
      const Bytes out = randomize(input);
      Targets targets;
      for (std::size_t at = 0; at < out.size(); at += WideCiphertext::kSize) {
        targets.insert(WideCiphertext::from_bytes(std::span(out).subspan(at)).alpha.bytes);
      }
      return targets;
    });
    EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  }
}

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

TEST_F(SecretResidue, FindsAKeyLeftOnPurpose) {
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

TEST_F(SecretResidue, RecognisesARandomScalarLeftOnPurpose) {
  const Key scalar = curve::Scalar::random().to_bytes();
  DeadStacks stacks;
  paint_dead_stack();
  leave_on_stack(scalar);
  copy_dead_stack(stacks.caller.data());
  std::vector<std::string> found;
  find_random_scalars(stacks.caller, {times_base(scalar)}, "caller", found);
  // The scalar, and its digits (twice: leave_on_stack's own copy too).
  const auto has = [&](const char* what) {
    return std::any_of(found.begin(), found.end(), [&](const std::string& f) { return f.find(what) != f.npos; });
  };
  EXPECT_TRUE(has("random scalar at")) << ::testing::PrintToString(found);
  EXPECT_TRUE(has("random scalar's digits at")) << ::testing::PrintToString(found);
}

}  // namespace
}  // namespace vorlinde
