// key_gen, and the last two steps of a run: decrypt (a bank's scalar applied to
// a point stream) and finish (the operator's per-row match test).

#include <algorithm>
#include <cstring>

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

curve::EdwardsPoint read_point(const PointStream& stream, std::size_t index) {
  const std::span<const std::uint8_t> record = stream.record(index);
  if (record.size() != kPointSize) throw runtime::Failure(slice_length_message(record.size()));
  curve::CompressedEdwardsY encoding;
  std::memcpy(encoding.bytes.data(), record.data(), kPointSize);
  const auto point = encoding.decompress();
  if (!point) throw runtime::Failure("called `Option::unwrap()` on a `None` value");
  return *point;
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
  runtime::parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const curve::CompressedEdwardsY product = (read_point(stream, i) * k).compress();
      std::memcpy(out.data() + i * kPointSize, product.bytes.data(), kPointSize);
    }
  });
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
  // About 50 us a row: a poll every 10 ms or so.
  runtime::CancellationTicker ticker(200);
  for (std::size_t i = 0; i < rows; ++i) {
    ticker.tick();
    const curve::EdwardsPoint s = read_point(sender, i);
    const curve::EdwardsPoint r = read_point(receiver, i);
    const curve::EdwardsPoint g = read_point(gamma, i);
    const curve::EdwardsPoint d = read_point(delta, i);
    matches.push_back(d == (s + r) + g * k);
  }
  return matches;
}

}  // namespace vorlinde
