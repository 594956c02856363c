#pragma once
// The kernels of one vector instruction set, as the baseline code sees them: a
// table of function pointers over plain arrays. Each instruction set's
// kernels.cpp, built with its own flags, fills one table from the templates of
// this folder; nothing else of it is visible outside. This header is built
// for the baseline too and declares no function.
//
// Field elements cross this boundary as five radix-2^51 limbs, the layout of
// the portable backend; points as X, Y, Z, T (extended coordinates). Input
// limbs must be below 2^52; output limbs are below 2^52. Callers may pass any
// n: work is done in chunks of `lanes`, and the lanes of a last partial chunk
// hold a fixed valid point that is never written out.
//
// Every kernel runs in time independent of the digits, the points and the
// bytes it is given; only n and the addresses of the arrays are public. The
// valid/on_curve flags are returned as data and never steer a branch here.
// Call a table's kernels only where the dispatch lists its backend.

#include <cstddef>
#include <cstdint>

namespace vorlinde::curve::backend {
namespace vector {

struct PointLimbs {
  std::uint64_t X[5], Y[5], Z[5], T[5];
};
// Affine Niels form (y + x, y - x, 2 d x y) of a table entry, limbs < 2^52.
struct NielsLimbs {
  std::uint64_t y_plus_x[5], y_minus_x[5], xy2d[5];
};

// One field operation on a register of elements, for tests and benchmarks.
enum class FieldProbeOp : int {
  kAdd, kSub, kNeg, kMul, kSquare, kMul2, kSquare2,  // a + b, a - b, -a, a b, a^2, 2 a b, 2 a^2
  kWideSum, kWideDiff, kWideFromNarrow,              // 2 a b + b^2, a b - 2 a^2, b - 2 a b: products before their carry
  kPow2k, kInvert, kPowP58,                          // a^(2^k), a^(p-2), a^((p-5)/8)
  kSqrtRatioI,                                       // sqrt_ratio_i(a, b); flag = was_square
  kCtEq, kIsZero, kIsNegative,                       // flag = a == b, a == 0, a odd
  kSelect,                                           // lane j: bit j of k ? b : a
  kIdentity,                                         // a, through canonical()
};

constexpr int kMaxLanes = 8;
constexpr int kMaxLimbs = 10;

struct FieldProbeResult {
  std::uint64_t limbs[kMaxLanes * kMaxLimbs];  // lane j at field_limbs j: the result as computed
  std::uint8_t bytes[kMaxLanes * 32];          // lane j at 32 j: its canonical encoding, computed in lanes
  std::uint8_t flag[kMaxLanes];                // 0/1 for the operations that give a mask
};

struct KernelTable {
  std::size_t lanes;
  // The lane field's own representation: limbs per element and the width of
  // limb i (limb i at bit offset sum of the widths before it).
  int field_limbs;
  int limb_bits[kMaxLimbs];

  // out[i] = k_i P_i for i < n. digits: signed radix-16 digits in the layout
  // of Scalar::as_radix_16 (64 per scalar, a_0..a_62 in [-8, 7], a_63 in
  // [-8, 8]); digit_stride = 64 for one scalar per point, 0 for one shared.
  void (*variable_base)(const PointLimbs* points, const std::int8_t* digits, std::size_t digit_stride,
                        std::size_t n, PointLimbs* out);
  // Fixed-base multiplication by a comb of fixed_digits signed radix-2^w
  // digits (w = fixed_window_bits; radix 16: Scalar::as_radix_16, else
  // as_radix_2w<w>), with one lane table per base B. fixed_table_fill lays out
  // multiples[h i + j - 1] = j 2^(w i) B (h = 2^(w - 1), i < fixed_digits,
  // j = 1..h) as a lane table of fixed_table_bytes at a 64-byte aligned
  // address; fixed_base then sets out[i] = k_i B, fixed_digits digits per
  // scalar.
  int fixed_window_bits;
  int fixed_digits;
  std::size_t fixed_table_bytes;
  void (*fixed_table_fill)(const NielsLimbs* multiples, void* lane_table);
  void (*fixed_base)(const void* lane_table, const std::int8_t* digits, std::size_t n, PointLimbs* out);
  // out[i] = 8 P_i for i < n; out may be points itself.
  void (*mul_by_cofactor)(const PointLimbs* points, std::size_t n, PointLimbs* out);
  // RFC 8032 encodings, 32 bytes each, with one inversion per block of points.
  void (*compress)(const PointLimbs* points, std::size_t n, std::uint8_t* out);
  // valid[i] = 1 and out[i] = (x, y, 1, x y) when in[32 i..] decodes (the
  // rules of CompressedEdwardsY::decompress), else valid[i] = 0 and out[i] =
  // the identity.
  void (*decompress)(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* valid);
  // The Elligator 2 maps of curve/elligator.hpp, bit for bit. on_curve[i]:
  // the curve-equation check of the result (1 for every input).
  void (*uniform_bytes_to_point)(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* on_curve);
  // branch[i] in {0, 1}. valid[i] = 1 and out[32 i..] = the representative,
  // or valid[i] = 0 and out[32 i..] written with unspecified bytes.
  void (*point_to_uniform_bytes)(const PointLimbs* points, const std::uint8_t* branch, std::size_t n,
                                 std::uint8_t* out, std::uint8_t* valid);
  // One operation on `lanes` elements given in the lane representation
  // (element j at field_limbs j), within the lane field's input bounds.
  void (*field_probe)(FieldProbeOp op, const std::uint64_t* a, const std::uint64_t* b, unsigned k,
                      FieldProbeResult* out);
};

}  // namespace vector

#if defined(__x86_64__)
namespace ifma {
extern const vector::KernelTable kKernels;         // eight points per AVX-512 IFMA vector
extern const vector::KernelTable kKernelsVpmullq;  // the same, the product's fold by VPMULLQ (AVX-512DQ)
}  // namespace ifma
namespace avx2 {
extern const vector::KernelTable kKernels;  // four points per AVX2 vector
}  // namespace avx2
#endif

}  // namespace vorlinde::curve::backend
