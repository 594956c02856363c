#pragma once
// edwards25519 kernels on AVX-512 IFMA: eight independent points per vector,
// one point per 64-bit lane. Callers work in plain arrays and may pass any n;
// work is done in chunks of kLanes, and the lanes of a last partial chunk hold
// a fixed valid point that is never written out.
//
// Field elements cross this boundary as five radix-2^51 limbs, the layout of
// the portable backend; points as X, Y, Z, T (extended coordinates). Input
// limbs must be below 2^52; output limbs are below 2^52.
//
// Every routine runs in time independent of the digits, the points and the
// bytes it is given; only n and the addresses of the arrays are public. The
// valid/on_curve flags are returned as data and never steer a branch here.
// Call these only when cpu_has_ifma() is true.

#include <cstddef>
#include <cstdint>

namespace vorlinde::curve::backend::ifma {

constexpr std::size_t kLanes = 8;

struct PointLimbs {
  std::uint64_t X[5], Y[5], Z[5], T[5];
};
// Affine Niels form (y + x, y - x, 2 d x y) of a table entry, limbs < 2^51.
struct NielsLimbs {
  std::uint64_t y_plus_x[5], y_minus_x[5], xy2d[5];
};

// What the dispatch reads from the processor: CPUID's highest standard leaf,
// leaf 1 ECX, leaf 7 (subleaf 0) EBX, and XCR0 (0 when XGETBV is not usable).
struct CpuidFacts {
  std::uint32_t max_leaf = 0;
  std::uint32_t leaf1_ecx = 0;
  std::uint32_t leaf7_ebx = 0;
  std::uint64_t xcr0 = 0;
};

// AVX-512F, AVX-512VL and AVX-512IFMA present and their register state
// (opmask, ZMM) saved by the operating system.
bool ifma_usable(const CpuidFacts& cpu);
// ifma_usable() of this processor.
bool cpu_has_ifma();

// out[i] = k_i P_i for i < n. digits: signed radix-16 digits in the layout of
// Scalar::as_radix_16 (64 per scalar, a_0..a_62 in [-8, 7], a_63 in [-8, 8]);
// digit_stride = 64 for one scalar per point, 0 for one scalar shared by all.
void variable_base(const PointLimbs* points, const std::int8_t* digits, std::size_t digit_stride, std::size_t n,
                   PointLimbs* out);

// out[i] = k_i B, table in the EdwardsBasepointTable layout:
// table[8 i + j - 1] = j 256^i B (i < 32, j = 1..8); 64 digits per scalar.
void fixed_base(const NielsLimbs* table, const std::int8_t* digits, std::size_t n, PointLimbs* out);

// out[i] = 8 P_i for i < n; out may be points itself.
void mul_by_cofactor(const PointLimbs* points, std::size_t n, PointLimbs* out);

// RFC 8032 encodings, 32 bytes each, with one inversion per call.
void compress(const PointLimbs* points, std::size_t n, std::uint8_t* out);

// valid[i] = 1 and out[i] = (x, y, 1, x y) when in[32 i..] decodes (the rules
// of CompressedEdwardsY::decompress), else valid[i] = 0 and out[i] = the
// identity.
void decompress(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* valid);

// The Elligator 2 maps, same formulas and results as src/point_conversion.cpp.
// uniform_bytes_to_point: on_curve[i] = the curve-equation check of the result
// (1 for every input).
void uniform_bytes_to_point(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* on_curve);
// branch[i] in {0, 1}. valid[i] = 1 and out[32 i..] = the representative, or
// valid[i] = 0 and out[32 i..] written with unspecified bytes.
void point_to_uniform_bytes(const PointLimbs* points, const std::uint8_t* branch, std::size_t n, std::uint8_t* out,
                            std::uint8_t* valid);

}  // namespace vorlinde::curve::backend::ifma
