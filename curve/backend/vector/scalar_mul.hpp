#pragma once
// Variable-base, fixed-base and cofactor multiplication over an instruction
// set I (its isa.hpp). Variable base is the portable backend's algorithm
// (signed radix 16, most significant digit first); fixed base is a comb of
// I's radix with one sub-table per digit. Every lane runs the same
// instruction stream, and a lane's digit only ever reaches a compare mask or
// a permute index in a register (I::select, I::FixedTable::select).

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/vector/kernel_table.hpp"
#include "curve/backend/vector/points.hpp"

namespace vorlinde::curve::backend::vector {

constexpr int kDigits = 64;
constexpr std::size_t kPointStride = sizeof(PointLimbs) / sizeof(std::uint64_t);
static_assert(kPointStride == 20);

// Lanes at or beyond m hold the identity.
template <class I>
inline Extended<typename I::Field> load_points(const PointLimbs* p, std::size_t m) {
  static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0}, kOne[5] = {1, 0, 0, 0, 0};
  return {I::gather(p->X, kPointStride, m, kZero), I::gather(p->Y, kPointStride, m, kOne),
          I::gather(p->Z, kPointStride, m, kOne), I::gather(p->T, kPointStride, m, kZero)};
}

template <class I>
inline void store_points(const Extended<typename I::Field>& p, PointLimbs* out, std::size_t m) {
  I::scatter(p.X, out->X, kPointStride, m);
  I::scatter(p.Y, out->Y, kPointStride, m);
  I::scatter(p.Z, out->Z, kPointStride, m);
  I::scatter(p.T, out->T, kPointStride, m);
}

// The D digits of one chunk, digit-major: lanes[i][j] is digit i of lane j
// (0 in lanes at or beyond m). Cleared on destruction.
template <class I, int D = kDigits>
struct ChunkDigits {
  alignas(16) std::int8_t lanes[D][I::kLanes];

  ChunkDigits(const std::int8_t* first, std::size_t stride, std::size_t m) {
    for (int i = 0; i < D; ++i)
      VORLINDE_LANE_LOOP
      for (std::size_t j = 0; j < I::kLanes; ++j) lanes[i][j] = j < m ? first[j * stride + i] : 0;
  }
  ~ChunkDigits() {
    std::memset(lanes, 0, sizeof lanes);
    asm volatile("" : : "r"(lanes) : "memory");  // keep the clearing store
  }
  ChunkDigits(const ChunkDigits&) = delete;
  ChunkDigits& operator=(const ChunkDigits&) = delete;

  // Digit i of every lane, sign-extended to 64 bits.
  typename I::Digit get(int i) const { return I::digit(lanes[i]); }
};

template <class F>
Projective<F> quadruple(Projective<F> p) {
  p = p.dbl().to_projective();
  p = p.dbl().to_projective();
  return p.dbl().to_projective();
}

template <class I>
Extended<typename I::Field> variable_base_chunk(const Extended<typename I::Field>& P, const ChunkDigits<I>& digits) {
  using F = typename I::Field;
  // Per lane j: the multiples 1 P_j .. 8 P_j, every one scanned by select.
  ProjectiveNiels<F> table[8];
  table[0] = P.to_projective_niels();
  for (int j = 1; j < 8; ++j) table[j] = (P + table[j - 1]).to_extended().to_projective_niels();
  // Q = a_63 P, then Q = 16 Q + a_i P for i = 62 .. 0; the doublings stay
  // projective and only the fourth produces the T the addition needs.
  Completed<F> acc = Extended<F>::identity() + I::select(table, digits.get(63));
  for (int i = 62; i >= 0; --i) {
    const Projective<F> p = quadruple(acc.to_projective());
    acc = p.dbl().to_extended_sums() + I::select(table, digits.get(i));
  }
  return acc.to_extended();
}

// The same with every point operation and field product inlined into one
// function, for fields whose point fits the register file (F::kInlineWindows):
// no call, with its vzeroupper and spills around it, breaks the window loop.
template <class I>
[[gnu::flatten]] Extended<typename I::Field> variable_base_chunk_inline(const Extended<typename I::Field>& P,
                                                                       const ChunkDigits<I>& digits) {
  return variable_base_chunk<I>(P, digits);
}

// k B = sum a_i 2^(w i) B with one sub-table per digit: D mixed additions
// and no doubling. A wider radix means fewer additions but more entries to
// scan per addition and a larger table (I::FixedTable says which).
template <class I>
Extended<typename I::Field> fixed_base_chunk(const typename I::FixedTable& table,
                                             const ChunkDigits<I, I::FixedTable::kDigits>& digits) {
  using F = typename I::Field;
  Completed<F> acc = Extended<F>::identity() + table.select(0, digits.get(0));
  for (int i = 1; i < I::FixedTable::kDigits; ++i) acc = acc.to_extended_sums() + table.select(i, digits.get(i));
  return acc.to_extended();
}

template <class I>
void variable_base(const PointLimbs* points, const std::int8_t* digits, std::size_t digit_stride, std::size_t n,
                   PointLimbs* out) {
  for (std::size_t c = 0; c < n; c += I::kLanes) {
    const std::size_t m = n - c < I::kLanes ? n - c : I::kLanes;
    const ChunkDigits<I> d(digits + c * digit_stride, digit_stride, m);
    if constexpr (I::Field::kInlineWindows)
      store_points<I>(variable_base_chunk_inline<I>(load_points<I>(points + c, m), d), out + c, m);
    else
      store_points<I>(variable_base_chunk<I>(load_points<I>(points + c, m), d), out + c, m);
  }
}

template <class I>
void mul_by_cofactor(const PointLimbs* points, std::size_t n, PointLimbs* out) {
  for (std::size_t c = 0; c < n; c += I::kLanes) {
    const std::size_t m = n - c < I::kLanes ? n - c : I::kLanes;
    const auto p = load_points<I>(points + c, m).to_projective().dbl().to_projective().dbl().to_projective();
    store_points<I>(p.dbl().to_extended(), out + c, m);
  }
}

// I::FixedTable::put(s, e, c, limbs) stores coordinate c of (e + 1) 2^(w s) B.
template <class I>
void fixed_table_fill(const NielsLimbs* multiples, void* lane_table) {
  using T = typename I::FixedTable;
  constexpr int kEntries = 1 << (T::kWindowBits - 1);
  for (int s = 0; s < T::kDigits; ++s) {
    for (int e = 0; e < kEntries; ++e) {
      const NielsLimbs& n = multiples[kEntries * s + e];
      const std::uint64_t* coordinates[3] = {n.y_plus_x, n.y_minus_x, n.xy2d};
      for (int c = 0; c < 3; ++c) static_cast<T*>(lane_table)->put(s, e, c, coordinates[c]);
    }
  }
}

template <class I>
void fixed_base(const void* lane_table, const std::int8_t* digits, std::size_t n, PointLimbs* out) {
  constexpr int D = I::FixedTable::kDigits;
  const auto& table = *static_cast<const typename I::FixedTable*>(lane_table);
  for (std::size_t c = 0; c < n; c += I::kLanes) {
    const std::size_t m = n - c < I::kLanes ? n - c : I::kLanes;
    const ChunkDigits<I, D> d(digits + c * D, D, m);
    store_points<I>(fixed_base_chunk<I>(table, d), out + c, m);
  }
}

}  // namespace vorlinde::curve::backend::vector
