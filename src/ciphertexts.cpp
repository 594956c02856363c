#include "src/ciphertexts.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <vector>

#include "curve/backend.hpp"
#include "curve/scalar.hpp"
#include "okvs/bits.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"
#include "runtime/wipe.hpp"

namespace vorlinde {

static_assert(okvs::Bits<Ciphertext>);
static_assert(okvs::BitsTraits<Ciphertext>::byte_length == Ciphertext::kSize);

namespace {

thread_local std::uint64_t zero_attempts = 0;

// Candidates per call of a vector backend in zero_many.
constexpr std::size_t kLargestBatch = 64;

}  // namespace

Ciphertext Ciphertext::zero(const curve::EdwardsBasepointTable& public_key) {
  Ciphertext out;
  zero_many(public_key, {&out, 1});
  return out;
}

// Candidates go through the two tests in batches: r G for a batch of fresh
// scalars, then r PK for the survivors once enough of them are waiting. The
// tests see each candidate alone and accepted candidates are taken in the
// order they pass, so every value is an independent draw of the loop in
// zero(): r uniform, conditioned on both points having representatives, with
// its own branch bits. Discarding a candidate leaks only that this r was
// discarded.
//
// Batches are sized from what is still needed (each test passes about half
// of its candidates), in multiples of the backend's width and at most
// kLargestBatch, so that the per-call work of a vector backend (laying out
// the table) is shared by many points while few candidates are drawn in
// vain. For the portable backend (width 1) this is exactly the loop of zero().
void Ciphertext::zero_many(const curve::EdwardsBasepointTable& public_key, std::span<Ciphertext> out) {
  const std::size_t lanes = curve::active_backend().lanes;
  const std::size_t largest = lanes == 1 ? 1 : kLargestBatch;
  auto round_to_lanes = [&](std::size_t n) {
    return std::clamp((n + lanes - 1) / lanes * lanes, lanes, largest);
  };
  std::size_t filled = 0;
  // Survivors of the first test: their scalars and c1.
  std::vector<curve::Scalar> waiting;
  std::vector<Representative> waiting_c1;
  waiting.reserve(2 * largest);
  waiting_c1.reserve(2 * largest);

  std::vector<curve::Scalar> scalars(largest);
  std::vector<curve::EdwardsPoint> points(largest);
  std::vector<curve::Choice> branches(largest), valid(largest);
  std::vector<Representative> reps(largest);
  // The top bit of one 32-bit output per representative, as
  // point_to_uniform_bytes draws it.
  auto draw_branches = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      branches[i] = curve::Choice::from_bit(static_cast<std::uint8_t>(runtime::next_u32() >> 31));
    }
  };
  auto first = [](auto& v, std::size_t n) { return std::span(v).first(n); };

  while (filled < out.size()) {
    const std::size_t needed = out.size() - filled;
    // About half of the waiting candidates will pass the second test.
    if (waiting.size() < std::min(largest, 2 * needed)) {
      // First test on a fresh batch: r G representable. About four
      // candidates per value still missing, less what is waiting.
      const std::size_t n = round_to_lanes(4 * needed > 2 * waiting.size() ? 4 * needed - 2 * waiting.size() : 1);
      zero_attempts += n;
      for (std::size_t i = 0; i < n; ++i) scalars[i] = curve::Scalar::random();
      curve::fixed_base_many(curve::ED25519_BASEPOINT_TABLE, first(scalars, n), first(points, n));
      draw_branches(n);
      curve::point_to_uniform_bytes_many(first(points, n), first(branches, n), first(reps, n), first(valid, n));
      for (std::size_t i = 0; i < n; ++i) {
        if (!valid[i].declassify()) continue;
        waiting.push_back(scalars[i]);
        waiting_c1.push_back(reps[i]);
      }
      continue;
    }
    // Second test on up to `largest` waiting candidates: r PK representable.
    const std::size_t n = std::min(largest, waiting.size());
    curve::fixed_base_many(public_key, first(waiting, n), first(points, n));
    draw_branches(n);
    curve::point_to_uniform_bytes_many(first(points, n), first(branches, n), first(reps, n), first(valid, n));
    for (std::size_t i = 0; i < n && filled < out.size(); ++i) {
      if (!valid[i].declassify()) continue;
      out[filled++] = {waiting_c1[i], reps[i]};
    }
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(n));
    waiting_c1.erase(waiting_c1.begin(), waiting_c1.begin() + static_cast<std::ptrdiff_t>(n));
  }
  // Scalars wipe themselves; the unused candidates' representatives and the
  // branch bits (random bytes) go too.
  runtime::wipe(waiting_c1.data(), waiting_c1.size() * sizeof(Representative));
  runtime::wipe(reps.data(), reps.size() * sizeof(Representative));
  runtime::wipe(branches.data(), branches.size() * sizeof(curve::Choice));
}

std::uint64_t Ciphertext::zero_attempts_on_this_thread() { return zero_attempts; }

Ciphertext Ciphertext::random() {
  Ciphertext out;
  runtime::fill_random(out.c1);
  runtime::fill_random(out.c2);
  return out;
}

void Ciphertext::random_many(std::span<Ciphertext> out) {
  // c1 and c2 fill each element with nothing between or after them, so one
  // draw over the elements' bytes gives each what random() would.
  static_assert(std::is_trivially_copyable_v<Ciphertext> && std::has_unique_object_representations_v<Ciphertext> &&
                sizeof(Ciphertext) == kSize && offsetof(Ciphertext, c2) == kSize / 2);
  runtime::fill_random(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()), out.size_bytes()));
}

std::array<std::uint8_t, Ciphertext::kSize> Ciphertext::to_bytes() const {
  std::array<std::uint8_t, kSize> out;
  std::copy(c2.begin(), c2.end(), std::copy(c1.begin(), c1.end(), out.begin()));
  return out;
}

Ciphertext Ciphertext::from_bytes(std::span<const std::uint8_t> chunk) {
  constexpr std::size_t half = kSize / 2;
  if (chunk.size() < half) throw runtime::Failure(range_end_message(half, chunk.size()));
  if (chunk.size() < kSize) throw runtime::Failure(range_end_message(kSize, chunk.size()));
  Ciphertext out;
  std::copy_n(chunk.begin(), half, out.c1.begin());
  std::copy_n(chunk.begin() + half, half, out.c2.begin());
  return out;
}

WideCiphertext Ciphertext::add_and_randomize(const Ciphertext& other, const curve::EdwardsPoint& extra) const {
  WideCiphertext out;
  add_and_randomize_many({this, 1}, {&other, 1}, extra, {&out, 1});
  return out;
}

void Ciphertext::add_and_randomize_many(std::span<const Ciphertext> selves, std::span<const Ciphertext> others,
                                        const curve::EdwardsPoint& extra, std::span<WideCiphertext> out) {
  const std::size_t n = selves.size();
  // A1, A2, B1, B2 of each pair.
  std::vector<Representative> reps(4 * n);
  for (std::size_t i = 0; i < n; ++i) {
    reps[4 * i] = selves[i].c1;
    reps[4 * i + 1] = selves[i].c2;
    reps[4 * i + 2] = others[i].c1;
    reps[4 * i + 3] = others[i].c2;
  }
  std::vector<curve::EdwardsPoint> points(4 * n);
  std::vector<curve::Choice> on_curve(4 * n);
  curve::uniform_bytes_to_point_many(reps, points, on_curve);
  for (const curve::Choice c : on_curve) {
    if (!c.declassify()) throw runtime::Failure(kInvalidElligatorPointMessage);
  }

  // s A1, s B1, s (A2 + B2 + extra) with one fresh s per pair, and s G.
  std::vector<curve::Scalar> scalars(n), scalars3(3 * n);
  std::vector<curve::EdwardsPoint> bases(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    scalars[i] = curve::Scalar::random();
    for (std::size_t j = 0; j < 3; ++j) scalars3[3 * i + j] = scalars[i];
    bases[3 * i] = points[4 * i];
    bases[3 * i + 1] = points[4 * i + 2];
    bases[3 * i + 2] = (points[4 * i + 1] + points[4 * i + 3]) + extra;
  }
  std::vector<curve::EdwardsPoint> products(3 * n), gammas(n);
  curve::mul_many(bases, scalars3, products);
  curve::fixed_base_many(curve::ED25519_BASEPOINT_TABLE, scalars, gammas);

  std::vector<curve::EdwardsPoint> fields(4 * n);
  for (std::size_t i = 0; i < n; ++i) {
    fields[4 * i] = products[3 * i];
    fields[4 * i + 1] = products[3 * i + 1];
    fields[4 * i + 2] = gammas[i];
    fields[4 * i + 3] = products[3 * i + 2];
  }
  // Every field times 8. A value looked up at an absent key is random bytes,
  // whose points carry a small-order part; s times that part survives unless
  // s happens to be a multiple of its order, and would show the banks that
  // the lookup missed (and, decrypted, a bank's key mod 8 to the operator).
  // For P = P0 + T, P0 of order l and 8 T = 0: 8 (s P) = (8 s mod l) P0, and
  // 8 s mod l is uniform when s is, so records of genuine lookups keep their
  // distribution and the relation delta = a alpha + b beta + x gamma, all four
  // fields carrying the same effective scalar. The 8 cannot go into s: 8 s
  // reduced mod l clears nothing, and unreduced it may pass 2^255.
  curve::mul_by_cofactor_many(fields, fields);
  WideCiphertext::from_points(fields, out);
}

}  // namespace vorlinde
