#pragma once
// The store's value: an ElGamal encryption of the identity, (r G, r PK), with
// both points written as uniform representatives so that genuine values,
// random filler and XORs of values are all 64 uniform-looking bytes that read
// back as two points. Layout: c1 in bytes 0..31, c2 in bytes 32..63.
//
// Also the store's value capability (okvs::Bits): random(), to_bytes(),
// from_bytes(), ^ and ^=.

#include <array>
#include <cstdint>
#include <span>

#include "curve/edwards.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"

namespace vorlinde {

class Ciphertext {
 public:
  static constexpr std::size_t kSize = 64;

  Representative c1{}, c2{};

  // An encryption of the identity under the table's point PK, redrawn with a
  // fresh r until both r G and r PK have representatives (about four
  // attempts on average, one in four succeeding). Never fails other than
  // through the thread generator's first keying.
  static Ciphertext zero(const curve::EdwardsBasepointTable& public_key);

  // zero() for every element of `out`, candidates drawn and tested in
  // batches: each value is an independent draw from exactly the distribution
  // of zero() (r uniform, conditioned on both points having representatives;
  // fresh branch bits). Candidates accepted beyond what `out` needs are wiped
  // and dropped.
  static void zero_many(const curve::EdwardsBasepointTable& public_key, std::span<Ciphertext> out);

  // 64 bytes from the calling thread's generator, c1 first; not validated.
  static Ciphertext random();

  // random() for every element, as one draw of 64 bytes per element.
  static void random_many(std::span<Ciphertext> out);

  std::array<std::uint8_t, kSize> to_bytes() const;

  // c1 = bytes 0..31, c2 = bytes 32..63.
  // Failure: "range end index 32 out of range for slice of length {n}" for
  // n < 32, the same with 64 for 32 <= n < 64.
  static Ciphertext from_bytes(std::span<const std::uint8_t> chunk);

  // With a fresh scalar s and A1, A2, B1, B2 the points of self.c1, self.c2,
  // other.c1, other.c2:
  //   8 (s A1, s B1, s G, s (A2 + B2 + extra)),
  // so that every field lies in the subgroup of order l whatever small-order
  // parts the inputs carry. Every pair of values is accepted.
  // Failure: "The point from the Elligator map is invalid, this should never
  // happen." if a representative ever read as no curve point.
  WideCiphertext add_and_randomize(const Ciphertext& other, const curve::EdwardsPoint& extra) const;

  // out[i] = selves[i].add_and_randomize(others[i], extra), each with its own
  // fresh scalar, computed in batches; same failure.
  static void add_and_randomize_many(std::span<const Ciphertext> selves, std::span<const Ciphertext> others,
                                     const curve::EdwardsPoint& extra, std::span<WideCiphertext> out);

  friend Ciphertext operator^(const Ciphertext& a, const Ciphertext& b) {
    Ciphertext out = a;
    out ^= b;
    return out;
  }
  friend Ciphertext& operator^=(Ciphertext& a, const Ciphertext& b) {
    for (std::size_t i = 0; i < a.c1.size(); ++i) a.c1[i] ^= b.c1[i];
    for (std::size_t i = 0; i < a.c2.size(); ++i) a.c2[i] ^= b.c2[i];
    return a;
  }

  bool operator==(const Ciphertext&) const = default;

  // Attempts made by zero() on the calling thread since it started: for
  // measuring the mean number of attempts per value.
  static std::uint64_t zero_attempts_on_this_thread();
};

}  // namespace vorlinde
