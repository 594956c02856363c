#pragma once
// Batched point operations, and the one place where a backend is chosen.
//
// The workload is batches: many points times one scalar (decrypt, randomize),
// many scalars against one fixed table (encryptions of zero), many encodings
// to decompress, many points to compress, many Elligator maps. So is this
// interface: spans in, spans out, any length (a backend that works eight
// points at a time handles a ragged tail itself). Every entry is constant
// time in the secret inputs (scalars, points), lane by lane; the flags it
// writes (`valid`, `on_curve`) are data, to be declassified by the caller
// that decides on them.
//
// The backend is chosen once, on first use, from what the processor offers
// (curve/backend.cpp). Single-point operations (EdwardsPoint::operator*,
// EdwardsBasepointTable::mul, compress, decompress) stay on the portable code.
//
// Spans of outputs have the length of the inputs; an output may not overlap
// an input unless said.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "curve/edwards.hpp"
#include "curve/elligator.hpp"
#include "curve/scalar.hpp"

namespace vorlinde::curve {

struct Backend {
  const char* name;
  // Points computed side by side: batches of this size cost about as much as
  // one point does (1 for the portable code).
  std::size_t lanes;
  // out[i] = k points[i]. k is any scalar below 2^255, reduced or not.
  void (*mul_same_scalar)(std::span<const EdwardsPoint> points, const Scalar& k, std::span<EdwardsPoint> out);
  // out[i] = scalars[i] points[i]. Each scalar is any Scalar (below 2^255,
  // reduced or not), multiplied as the integer it is.
  void (*mul_many)(std::span<const EdwardsPoint> points, std::span<const Scalar> scalars, std::span<EdwardsPoint> out);
  // out[i] = scalars[i] B, B the point the table was made for. Each scalar is
  // any Scalar (below 2^255, reduced or not), multiplied as the integer it is.
  void (*fixed_base_many)(const EdwardsBasepointTable& table, std::span<const Scalar> scalars,
                          std::span<EdwardsPoint> out);
  // out[i] = 8 points[i]: three doublings, which leave only the component in
  // the subgroup of order l. out may be points itself.
  void (*mul_by_cofactor_many)(std::span<const EdwardsPoint> points, std::span<EdwardsPoint> out);
  // The encodings of compress(), one shared inversion for the whole span.
  void (*compress_many)(std::span<const EdwardsPoint> points, std::span<CompressedEdwardsY> out);
  // valid[i] set and out[i] the point when in[i] decodes; otherwise valid[i]
  // clear and out[i] some valid point.
  void (*decompress_many)(std::span<const CompressedEdwardsY> in, std::span<EdwardsPoint> out,
                          std::span<Choice> valid);
  // uniform_bytes_to_point of curve/elligator.hpp, element by element.
  void (*uniform_bytes_to_point_many)(std::span<const Representative> in, std::span<EdwardsPoint> out,
                                      std::span<Choice> on_curve);
  // point_to_uniform_bytes of curve/elligator.hpp on the given branches:
  // valid[i] set and out[i] the representative, or valid[i] clear (out[i]
  // then holds no information).
  void (*point_to_uniform_bytes_many)(std::span<const EdwardsPoint> points, std::span<const Choice> branches,
                                      std::span<Representative> out, std::span<Choice> valid);
};

// The portable 5 x 51-bit backend, available everywhere.
extern const Backend SERIAL_BACKEND;
#if defined(__x86_64__)
// Four points per AVX2 vector; runs where AVX2 is present and the operating
// system saves the YMM registers (curve/backend/avx2/).
extern const Backend AVX2_BACKEND;
// Eight points per AVX-512 IFMA vector; runs where AVX-512F, VL and IFMA are
// present and enabled (curve/backend/ifma/).
extern const Backend IFMA_BACKEND;
// The same, folding products with VPMULLQ; runs where ifma_vpmullq is set.
extern const Backend IFMA_VPMULLQ_BACKEND;
#endif

// The backend in use: the fastest one this build contains and this processor
// runs, chosen on the first call.
const Backend& active_backend();

// Every backend this build contains and this processor can run, the portable
// one first and the fastest last: portable, AVX2, AVX-512 IFMA, IFMA folding
// with VPMULLQ.
std::span<const Backend* const> available_backends();

// What the choice depends on.
struct ProcessorFeatures {
  bool avx2 = false;
  bool ifma = false;
  // IFMA, AVX-512DQ, and a processor where VPMULLQ is one fast instruction
  // (AMD; Intel's takes 3 uops and 15 cycles).
  bool ifma_vpmullq = false;
};
// What the dispatch reads from the processor: CPUID's highest standard leaf,
// leaf 1 ECX, leaf 7 (subleaf 0) EBX, and XCR0 (0 when XGETBV is not usable).
struct CpuidFacts {
  std::uint32_t max_leaf = 0;
  std::uint32_t leaf1_ecx = 0;
  std::uint32_t leaf7_ebx = 0;
  std::uint64_t xcr0 = 0;
  bool amd = false;  // leaf 0's vendor string is "AuthenticAMD"
};
// avx2: AVX and AVX2 present and their register state (XMM, YMM) saved by the
// operating system; ifma: AVX-512F, VL and IFMA present and their state
// (opmask, ZMM) saved as well; ifma_vpmullq: ifma, AVX-512DQ and an AMD
// processor (curve/backend/cpu.cpp).
ProcessorFeatures features_of(const CpuidFacts& cpu);
// The facts of this processor (all zero off x86-64).
CpuidFacts this_processor_facts();
// The list available_backends() gives on a processor with these features.
std::vector<const Backend*> backends_for(const ProcessorFeatures& features);

// For checks that must exercise one particular backend: makes the backend
// called `name` the one active_backend() returns. Returns false, changing
// nothing, when no entry of available_backends() has that name or when the
// choice has already been made (active_backend() was called, or a backend
// was forced before).
bool force_backend(std::string_view name);

// For tests that run whole operations once per backend: while alive,
// active_backend() answers `backend` on every thread. Create and destroy it
// only while no operation is in flight.
class ScopedBackendForTesting {
 public:
  explicit ScopedBackendForTesting(const Backend& backend);
  ~ScopedBackendForTesting();
  ScopedBackendForTesting(const ScopedBackendForTesting&) = delete;
  ScopedBackendForTesting& operator=(const ScopedBackendForTesting&) = delete;

 private:
  const Backend* previous_;
};

// The active backend's entries.
inline void mul_same_scalar(std::span<const EdwardsPoint> points, const Scalar& k, std::span<EdwardsPoint> out) {
  active_backend().mul_same_scalar(points, k, out);
}
inline void mul_many(std::span<const EdwardsPoint> points, std::span<const Scalar> scalars,
                     std::span<EdwardsPoint> out) {
  active_backend().mul_many(points, scalars, out);
}
inline void fixed_base_many(const EdwardsBasepointTable& table, std::span<const Scalar> scalars,
                            std::span<EdwardsPoint> out) {
  active_backend().fixed_base_many(table, scalars, out);
}
inline void mul_by_cofactor_many(std::span<const EdwardsPoint> points, std::span<EdwardsPoint> out) {
  active_backend().mul_by_cofactor_many(points, out);
}
inline void compress_many(std::span<const EdwardsPoint> points, std::span<CompressedEdwardsY> out) {
  active_backend().compress_many(points, out);
}
inline void decompress_many(std::span<const CompressedEdwardsY> in, std::span<EdwardsPoint> out,
                            std::span<Choice> valid) {
  active_backend().decompress_many(in, out, valid);
}
inline void uniform_bytes_to_point_many(std::span<const Representative> in, std::span<EdwardsPoint> out,
                                        std::span<Choice> on_curve) {
  active_backend().uniform_bytes_to_point_many(in, out, on_curve);
}
inline void point_to_uniform_bytes_many(std::span<const EdwardsPoint> points, std::span<const Choice> branches,
                                        std::span<Representative> out, std::span<Choice> valid) {
  active_backend().point_to_uniform_bytes_many(points, branches, out, valid);
}

}  // namespace vorlinde::curve
