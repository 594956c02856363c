// Point streams and keys into decrypt and finish. Points (at most four per
// stream) are raw bytes or s B + j T built by libsodium (T of order 8); the key
// is usually 32 bytes, sometimes another length; a stream may end in a short
// piece. finish's delta is raw, the true sum S + R + k Gamma, or that sum
// moved by a torsion point.
//
// Checked against libsodium: each fails exactly when the key is not 32 bytes
// or a point it reads is short or no curve point, with that reason's message;
// decrypt writes k P (known for built points and for canonical points of the
// prime-order subgroup; canonical in any case); finish answers, for every row
// whose sum is known, whether delta is that sum as a group element.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "src/operations.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/sodium_oracle.hpp"

namespace sodium = vorlinde::fuzz::sodium;
using sodium::Point;
using vorlinde::fuzz::require;
using vorlinde::fuzz::run_expecting;
using vorlinde::fuzz::SpanArg;

namespace {

constexpr std::size_t kMaxPoints = 4;

struct Key {
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 32> integer{};  // bit 255 cleared, as the key is read
  sodium::Scalar mod_l{};
  std::uint8_t mod_8 = 0;
};

Key make_key(FuzzedDataProvider& input) {
  Key key;
  const std::size_t length = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::size_t>(0, 40) : 32;
  key.bytes = input.ConsumeBytes<std::uint8_t>(length);
  key.bytes.resize(length);
  if (length == 32) {
    std::copy(key.bytes.begin(), key.bytes.end(), key.integer.begin());
    key.integer[31] &= 0x7f;
    key.mod_l = sodium::reduce(key.integer);
    key.mod_8 = key.integer[0] & 7;
  }
  return key;
}

// One point of a stream, with what is known of it.
struct Entry {
  Point bytes{};
  std::optional<sodium::Split> split;  // set when built as s B + j T
};

Entry make_entry(FuzzedDataProvider& input) {
  Entry e;
  if (input.ConsumeBool()) {
    const auto raw = input.ConsumeBytes<std::uint8_t>(32);
    std::copy(raw.begin(), raw.end(), e.bytes.begin());
  } else {
    sodium::Split p;
    std::array<std::uint8_t, 32> s{};
    const auto raw = input.ConsumeBytes<std::uint8_t>(32);
    std::copy(raw.begin(), raw.end(), s.begin());
    p.s = sodium::reduce(s);
    p.j = input.ConsumeIntegral<std::uint8_t>() & 7;
    e.bytes = p.encode();
    e.split = p;
  }
  return e;
}

// k P when known: from the split, or by libsodium for a canonical point of
// the prime-order subgroup.
std::optional<Point> times_key(const Key& key, const Entry& e) {
  if (e.split) return e.split->times(key.mod_l, key.mod_8).encode();
  if (sodium::canonical(e.bytes) == e.bytes && crypto_core_ed25519_is_valid_point(e.bytes.data())) {
    return sodium::subgroup_mul(key.integer, e.bytes).value_or(sodium::kIdentity);
  }
  return std::nullopt;
}

struct Stream {
  std::vector<Entry> entries;
  std::size_t cut = 0;  // bytes removed from the end

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out;
    for (const Entry& e : entries) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    out.resize(out.size() - cut);
    return out;
  }
  std::size_t count() const { return (entries.size() * 32 - cut + 31) / 32; }
  // The messages reading point i may give.
  void add_failures(std::size_t i, std::set<std::string>& out) const {
    const std::size_t length = std::min<std::size_t>(32, entries.size() * 32 - cut - 32 * i);
    if (length < 32) {
      out.insert(vorlinde::fuzz::slice_length(length));
    } else if (!sodium::canonical(entries[i].bytes)) {
      out.insert(vorlinde::fuzz::kUnwrapNone);
    }
  }
};

void cut_end(FuzzedDataProvider& input, Stream& s) {
  if (!s.entries.empty() && input.ConsumeIntegralInRange(0, 3) == 0) {
    s.cut = input.ConsumeIntegralInRange<std::size_t>(1, 31);
  }
}

void check_decrypt(FuzzedDataProvider& input) {
  const Key key = make_key(input);
  Stream points;
  const std::size_t n = input.ConsumeIntegralInRange<std::size_t>(0, kMaxPoints);
  for (std::size_t i = 0; i < n; ++i) points.entries.push_back(make_entry(input));
  cut_end(input, points);

  std::set<std::string> failures;
  if (key.bytes.size() != 32) {
    failures.insert(vorlinde::fuzz::slice_length(key.bytes.size()));
  } else {
    for (std::size_t i = 0; i < points.count(); ++i) points.add_failures(i, failures);
  }
  const auto stream = points.bytes();
  vorlinde::Bytes out;
  if (!run_expecting(failures, "decrypt", [&] { out = vorlinde::decrypt(SpanArg(stream), SpanArg(key.bytes)); })) {
    return;
  }
  require(out.size() == 32 * points.count(), "decrypt: wrong output length");
  for (std::size_t i = 0; i < points.count(); ++i) {
    const Point got = sodium::to_point(std::span(out).subspan(32 * i, 32));
    require(sodium::canonical(got) == got, "decrypt: output is not canonical");
    if (const auto want = times_key(key, points.entries[i])) require(got == *want, "decrypt: k P is wrong");
  }
}

void check_finish(FuzzedDataProvider& input) {
  const Key key = make_key(input);
  const std::size_t rows = input.ConsumeIntegralInRange<std::size_t>(0, kMaxPoints);
  std::array<Stream, 4> streams;  // sender, receiver, gamma, delta
  std::vector<std::optional<bool>> truth;
  for (std::size_t i = 0; i < rows; ++i) {
    Entry s = make_entry(input), r = make_entry(input), g = make_entry(input);
    std::optional<Point> sum;
    const auto kg = key.bytes.size() == 32 ? times_key(key, g) : std::nullopt;
    if (kg) {
      if (const auto sr = sodium::add(s.bytes, r.bytes)) sum = sodium::add(*sr, *kg);
    }
    Entry d;
    const int mode = input.ConsumeIntegralInRange(0, 2);
    if (mode == 0 || !sum) {
      d = make_entry(input);
    } else {
      d.bytes = mode == 1 ? *sum : *sodium::add(*sum, sodium::torsion()[1 + input.ConsumeIntegral<std::uint8_t>() % 7]);
    }
    // Known when the sum is: delta matches iff it is the same group element.
    truth.push_back(sum ? std::optional<bool>(sodium::canonical(d.bytes) == sum) : std::nullopt);
    for (auto [stream, entry] : {std::pair{&streams[0], &s}, {&streams[1], &r}, {&streams[2], &g}, {&streams[3], &d}}) {
      stream->entries.push_back(*entry);
    }
  }
  // Extra points beyond the shortest stream are never read.
  for (Stream& s : streams) {
    if (input.ConsumeBool()) s.entries.push_back(make_entry(input));
    cut_end(input, s);
  }

  std::size_t count = SIZE_MAX;
  for (const Stream& s : streams) count = std::min(count, s.count());
  std::set<std::string> failures;
  if (key.bytes.size() != 32) {
    failures.insert(vorlinde::fuzz::slice_length(key.bytes.size()));
  } else {
    for (std::size_t i = 0; i < count && failures.empty(); ++i) {
      // Rows are read in order, the four points of a row in argument order.
      for (const Stream& s : streams) {
        s.add_failures(i, failures);
        if (!failures.empty()) break;
      }
    }
  }
  std::array<std::vector<std::uint8_t>, 4> bytes;
  for (std::size_t k = 0; k < 4; ++k) bytes[k] = streams[k].bytes();
  std::vector<bool> matches;
  if (!run_expecting(failures, "finish", [&] {
        matches = vorlinde::finish(SpanArg(bytes[0]), SpanArg(bytes[1]), SpanArg(bytes[2]), SpanArg(bytes[3]),
                                   SpanArg(key.bytes));
      })) {
    return;
  }
  require(matches.size() == count, "finish: wrong number of answers");
  for (std::size_t i = 0; i < count && i < truth.size(); ++i) {
    if (truth[i]) require(matches[i] == *truth[i], "finish: wrong answer for row " + std::to_string(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    check_decrypt(input);
  } else {
    check_finish(input);
  }
  return 0;
}
