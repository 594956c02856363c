#pragma once
// What the fuzz targets share: byte-string arguments over the input, the
// failure messages an operation may give for malformed input, and a way to
// report a finding that libFuzzer records as a crash.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "runtime/failure.hpp"
#include "src/operations.hpp"

namespace vorlinde::fuzz {

// A bytes argument that always holds bytes: the type test never fails.
class SpanArg final : public BytesArg {
 public:
  explicit SpanArg(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::span<const std::uint8_t> get(const char*) const override { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

// A broken invariant: print it and abort, so that libFuzzer keeps the input.
[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void require(bool holds, const std::string& what) {
  if (!holds) finding(what);
}

inline bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Every message form that a malformed argument can produce in the operations
// the targets drive (store parsing and lookup, record and point streams, keys).
inline bool is_known_failure(std::string_view m) {
  return starts_with(m, "range end index ") || starts_with(m, "slice index starts at 24 but ends at ") ||
         m == "attempt to calculate the remainder with a divisor of zero" ||
         m == "called `Option::unwrap()` on a `None` value" || starts_with(m, "source slice length (") ||
         starts_with(m, "index out of bounds: the len is ");
}

inline std::string range_end(std::size_t end, std::size_t length) {
  return "range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(length);
}

inline std::string slice_length(std::size_t length) {
  return "source slice length (" + std::to_string(length) + ") does not match destination slice length (32)";
}

inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// Runs `op`, which must fail with one of `failures` (a Failure whose message
// is in the set) or, when the set is empty, succeed. Returns whether it did.
template <class Op>
bool run_expecting(const std::set<std::string>& failures, const char* name, Op op) {
  try {
    op();
  } catch (const runtime::Failure& f) {
    require(failures.count(f.what()) == 1, std::string(name) + " failed with \"" + f.what() + "\"");
    return false;
  }
  require(failures.empty(), std::string(name) + " succeeded on input it cannot read");
  return true;
}

}  // namespace vorlinde::fuzz
