// Record streams into randomize and combine. Two streams of at most four
// 128-byte records each are built from the input: raw bytes, genuine records
// (delta = a alpha + b beta + x gamma for scalars a, b, x from the input, with
// or without torsion), or genuine records with one byte changed; either stream
// may end in a short piece.
//
// Checked against libsodium: an operation fails exactly when a record it reads
// is short or holds a field that is no curve point, and then with one of those
// records' messages; combine's columns are the fieldwise sums; randomize
// writes canonical encodings, maps equal and opposite fields of a record to
// equal and opposite fields, and keeps the relation of genuine records.

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

constexpr std::size_t kRecord = 128;
constexpr std::size_t kMaxRecords = 4;

struct Relation {
  std::array<std::uint8_t, 32> a, b, x;  // integers, bit 255 cleared
};

struct Stream {
  std::vector<std::uint8_t> bytes;
  // Records built without torsion and left intact: their relation is checked.
  std::vector<bool> subgroup_genuine;

  std::size_t count() const { return (bytes.size() + kRecord - 1) / kRecord; }
  std::span<const std::uint8_t> record(std::size_t i) const {
    return std::span(bytes).subspan(i * kRecord, std::min(kRecord, bytes.size() - i * kRecord));
  }
  Point field(std::size_t i, std::size_t k) const { return sodium::to_point(record(i).subspan(32 * k, 32)); }
};

std::array<std::uint8_t, 32> integer(FuzzedDataProvider& input) {
  std::array<std::uint8_t, 32> n{};
  const auto bytes = input.ConsumeBytes<std::uint8_t>(32);
  std::copy(bytes.begin(), bytes.end(), n.begin());
  n[31] &= 0x7f;
  return n;
}

sodium::Split split(FuzzedDataProvider& input, bool torsion) {
  sodium::Split p;
  p.s = sodium::reduce(integer(input));
  p.j = torsion ? input.ConsumeIntegral<std::uint8_t>() & 7 : 0;
  return p;
}

Stream make_stream(FuzzedDataProvider& input, const Relation& rel) {
  Stream stream;
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, kMaxRecords);
  for (std::size_t i = 0; i < count; ++i) {
    const int kind = input.ConsumeIntegralInRange(0, 3);
    std::vector<std::uint8_t> record;
    bool genuine = false;
    if (kind == 0) {
      record = input.ConsumeBytes<std::uint8_t>(kRecord);
      record.resize(kRecord);
    } else {
      const bool torsion = kind == 3;
      const sodium::Split alpha = split(input, torsion), beta = split(input, torsion), gamma = split(input, torsion);
      auto times = [](const sodium::Split& p, const std::array<std::uint8_t, 32>& n) {
        return p.times(sodium::reduce(n), n[0] & 7);
      };
      const sodium::Split delta = times(alpha, rel.a).plus(times(beta, rel.b)).plus(times(gamma, rel.x));
      for (const sodium::Split* p : {&alpha, &beta, &gamma, &delta}) {
        const Point e = p->encode();
        record.insert(record.end(), e.begin(), e.end());
      }
      genuine = !torsion;
      if (kind == 2) {
        record[input.ConsumeIntegralInRange<std::size_t>(0, kRecord - 1)] ^= input.ConsumeIntegralInRange(1, 255);
        genuine = false;
      }
    }
    stream.bytes.insert(stream.bytes.end(), record.begin(), record.end());
    stream.subgroup_genuine.push_back(genuine);
  }
  const std::size_t cut = std::min(stream.bytes.size(), input.ConsumeIntegralInRange<std::size_t>(0, kRecord - 1));
  stream.bytes.resize(stream.bytes.size() - cut);
  stream.subgroup_genuine.resize(stream.count());
  if (cut > 0 && !stream.subgroup_genuine.empty()) stream.subgroup_genuine.back() = false;
  return stream;
}

// The messages reading record i may give: the short-piece message, or the
// invalid-point message when a field is no curve point.
void add_failures(const Stream& stream, std::size_t i, std::set<std::string>& out) {
  const auto record = stream.record(i);
  if (record.size() < kRecord) {
    out.insert(vorlinde::fuzz::range_end((record.size() / 32 + 1) * 32, record.size()));
    return;
  }
  for (std::size_t k = 0; k < 4; ++k) {
    if (!sodium::canonical(stream.field(i, k))) out.insert(vorlinde::fuzz::kUnwrapNone);
  }
}

Point at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return sodium::to_point(std::span(bytes).subspan(offset, 32));
}

Point times_or_identity(const std::array<std::uint8_t, 32>& n, const Point& p) {
  // libsodium declines an identity product; p is in the subgroup here.
  return sodium::subgroup_mul(n, p).value_or(sodium::kIdentity);
}

void check_randomize(const Stream& in, const Relation& rel) {
  std::set<std::string> failures;
  for (std::size_t i = 0; i < in.count(); ++i) add_failures(in, i, failures);
  vorlinde::Bytes out;
  if (!run_expecting(failures, "randomize", [&] { out = vorlinde::randomize(SpanArg(in.bytes)); })) return;
  require(out.size() == in.count() * kRecord, "randomize: wrong output length");
  for (std::size_t i = 0; i < in.count(); ++i) {
    std::array<Point, 4> before, after;
    for (std::size_t k = 0; k < 4; ++k) {
      before[k] = *sodium::canonical(in.field(i, k));
      after[k] = at(out, i * kRecord + 32 * k);
      require(sodium::canonical(after[k]) == after[k], "randomize: output field is not canonical");
      if (before[k] == sodium::kIdentity) require(after[k] == sodium::kIdentity, "randomize: identity moved");
    }
    // One scalar per record: t P = t Q when P = Q, and t P = -t Q when P = -Q.
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::size_t l = k + 1; l < 4; ++l) {
        if (before[k] == before[l]) require(after[k] == after[l], "randomize: equal fields differ after");
        if (sodium::sub(sodium::kIdentity, before[l]) == before[k]) {
          require(sodium::sub(sodium::kIdentity, after[l]) == after[k], "randomize: opposite fields not opposite");
        }
      }
    }
    if (in.subgroup_genuine[i]) {
      const auto sum = sodium::add(*sodium::add(times_or_identity(rel.a, after[0]), times_or_identity(rel.b, after[1])),
                                   times_or_identity(rel.x, after[2]));
      require(sum == after[3], "randomize: delta = a alpha + b beta + x gamma broken");
    }
  }
}

void check_combine(const Stream& sender, const Stream& receiver) {
  const std::size_t pairs = std::min(sender.count(), receiver.count());
  std::set<std::string> failures;
  for (std::size_t i = 0; i < pairs; ++i) {
    add_failures(sender, i, failures);
    add_failures(receiver, i, failures);
  }
  std::array<vorlinde::Bytes, 4> columns;
  if (!run_expecting(failures, "combine", [&] {
        columns = vorlinde::combine(SpanArg(sender.bytes), SpanArg(receiver.bytes));
      })) {
    return;
  }
  for (std::size_t k = 0; k < 4; ++k) {
    require(columns[k].size() == pairs * 32, "combine: wrong column length");
    for (std::size_t i = 0; i < pairs; ++i) {
      require(sodium::add(sender.field(i, k), receiver.field(i, k)) == at(columns[k], 32 * i),
              "combine: column point is not the sum of the fields");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Relation rel;
  rel.a = integer(input);
  rel.b = integer(input);
  rel.x = integer(input);
  const Stream sender = make_stream(input, rel);
  const Stream receiver = make_stream(input, rel);
  check_randomize(sender, rel);
  check_combine(sender, receiver);
  return 0;
}
