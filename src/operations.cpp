// key_gen, and the last two steps of a run: decrypt (a bank's scalar applied to
// a point stream) and finish (the operator's per-row match test).

#include <algorithm>
#include <cstring>
#include <vector>

#include "curve/backend.hpp"
#include "curve/edwards.hpp"
#include "curve/scalar.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/failure.hpp"
#include "runtime/pool.hpp"
#include "runtime/stack_scrub.hpp"
#include "src/keys.hpp"
#include "src/operations.hpp"
#include "src/record_stream.hpp"
#include "src/result_buffer.hpp"

namespace vorlinde {

namespace {

constexpr std::size_t kPointSize = 32;
using PointStream = RecordStream<kPointSize>;

// Points per pool task (decrypt) and per step (finish): batches of eight fill
// the vector lanes, and a step stays well under a millisecond.
constexpr std::size_t kBatch = 64;

const char* const kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// Record i of a stream, copied for decoding, or its length when it is short
// (only a trailing piece can be).
struct PointRecord {
  curve::CompressedEdwardsY encoding{};
  std::size_t length = kPointSize;
};

PointRecord read_record(const PointStream& stream, std::size_t index) {
  const std::span<const std::uint8_t> record = stream.record(index);
  PointRecord r;
  r.length = record.size();
  // A short record keeps the identity's encoding, so that the batch decodes;
  // its length fails it before its point is looked at.
  r.encoding.bytes[0] = 1;
  if (r.length == kPointSize) std::memcpy(r.encoding.bytes.data(), record.data(), kPointSize);
  return r;
}

}  // namespace

KeyPair key_gen() {
  const runtime::ScrubStackOnExit scrub;
  const curve::Scalar secret = curve::Scalar::random();
  const curve::EdwardsPoint public_point = curve::ED25519_BASEPOINT_TABLE * secret;
  return {public_point.compress().bytes, secret.to_bytes()};
}

Bytes decrypt(const BytesArg& points, const BytesArg& bank_secret_key) {
  const runtime::ScrubStackOnExit scrub;
  const curve::Scalar k = read_secret_key(bank_secret_key, kBankSecretKeySentence);
  const PointStream stream(points.get(kPointsSentence));
  const std::size_t count = stream.count();
  // Each record owns bytes [32 i, 32 i + 32) of the result, so workers never
  // share a slot and the output is in input order however the work is split.
  Bytes out = result_bytes(count * kPointSize);
  if (count == 0) return out;
  runtime::parallel_for(
      count,
      [&](std::size_t begin, std::size_t end) {
        const std::size_t n = end - begin;
        std::vector<curve::CompressedEdwardsY> encodings(n);
        for (std::size_t i = 0; i < n; ++i) {
          const PointRecord r = read_record(stream, begin + i);
          if (r.length != kPointSize) throw runtime::Failure(slice_length_message(r.length));
          encodings[i] = r.encoding;
        }
        std::vector<curve::EdwardsPoint> points(n), products(n);
        std::vector<curve::Choice> valid(n);
        curve::decompress_many(encodings, points, valid);
        for (const curve::Choice v : valid) {
          if (!v.declassify()) throw runtime::Failure(kUnwrapNone);
        }
        curve::mul_same_scalar(points, k, products);
        curve::compress_many(products, encodings);
        std::memcpy(out.data() + begin * kPointSize, encodings.data(), n * kPointSize);
      },
      kBatch);
  return out;
}

// Row i matches when D = S + R + k G, compared as group elements (so any
// encoding of the right point counts).
std::vector<bool> finish(const BytesArg& sender_points, const BytesArg& receiver_points,
                         const BytesArg& gamma_points, const BytesArg& delta_points,
                         const BytesArg& swift_secret_key) {
  const runtime::ScrubStackOnExit scrub;
  const curve::Scalar k = read_secret_key(swift_secret_key, kSwiftSecretKeySentence);
  const PointStream sender(sender_points.get(kPointsSentence));
  const PointStream receiver(receiver_points.get(kPointsSentence));
  const PointStream gamma(gamma_points.get(kPointsSentence));
  const PointStream delta(delta_points.get(kPointsSentence));
  const std::size_t rows = std::min({sender.count(), receiver.count(), gamma.count(), delta.count()});

  std::vector<bool> matches;
  runtime::allocating((rows + 63) / 64 * 8, "the result", [&] { matches.reserve(rows); });
  // A step of kBatch rows takes about a millisecond: a poll every 10 ms or so.
  runtime::CancellationTicker ticker(10);
  std::vector<curve::CompressedEdwardsY> encodings(4 * kBatch);
  std::vector<std::size_t> lengths(4 * kBatch);
  std::vector<curve::EdwardsPoint> points(4 * kBatch), gammas(kBatch), k_gammas(kBatch);
  std::vector<curve::Choice> valid(4 * kBatch);
  const PointStream* const streams[4] = {&sender, &receiver, &gamma, &delta};
  for (std::size_t begin = 0; begin < rows; begin += kBatch) {
    ticker.tick();
    const std::size_t n = std::min(kBatch, rows - begin);
    // Row by row, in the order sender, receiver, gamma, delta.
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t s = 0; s < 4; ++s) {
        const PointRecord r = read_record(*streams[s], begin + i);
        encodings[4 * i + s] = r.encoding;
        lengths[4 * i + s] = r.length;
      }
    }
    curve::decompress_many(std::span(encodings).first(4 * n), std::span(points).first(4 * n),
                           std::span(valid).first(4 * n));
    // The first bad record in that order decides the message; validity is
    // public (it decides whether the call fails).
    for (std::size_t j = 0; j < 4 * n; ++j) {
      if (lengths[j] != kPointSize) throw runtime::Failure(slice_length_message(lengths[j]));
      if (!valid[j].declassify()) throw runtime::Failure(kUnwrapNone);
    }
    for (std::size_t i = 0; i < n; ++i) gammas[i] = points[4 * i + 2];
    curve::mul_same_scalar(std::span(gammas).first(n), k, std::span(k_gammas).first(n));
    for (std::size_t i = 0; i < n; ++i) {
      const curve::EdwardsPoint v = (points[4 * i] + points[4 * i + 1]) + k_gammas[i];
      // Whether a row matched is the published result.
      matches.push_back(points[4 * i + 3].ct_eq(v).declassify());
    }
  }
  return matches;
}

}  // namespace vorlinde
