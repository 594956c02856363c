// The batch entries of the vector backends: the portable types handed to the
// kernels of one table (curve/backend/vector/kernel_table.hpp) in place,
// digits computed here and wiped here. Built for the baseline instruction
// set; only the kernels are built for the vector ones.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "runtime/wipe.hpp"

namespace vorlinde::curve {
namespace backend {
namespace {

// The digits of each scalar (D per scalar: Scalar::as_radix_16 or
// as_radix_2w), wiped when dropped.
using Digits = std::vector<std::int8_t, runtime::WipingAllocator<std::int8_t>>;

template <std::size_t D>
Digits digits_of(std::span<const Scalar> scalars, std::array<std::int8_t, D> (Scalar::*recode)() const) {
  Digits digits(D * scalars.size());
  for (std::size_t i = 0; i < scalars.size(); ++i) {
    const runtime::Wiped<std::array<std::int8_t, D>> d([&] { return (scalars[i].*recode)(); });
    std::copy(d.get().begin(), d.get().end(), digits.begin() + static_cast<std::ptrdiff_t>(D * i));
  }
  return digits;
}

// The lane tables of one kernel table, one per fixed base in use, built on
// first use and kept, so that the calls of one build_okvs (a bank's key and
// the base point, in batches of at most 64 scalars) share them: a lane
// table's comb has more entries than an EdwardsBasepointTable, computed from
// its base point. A table is found by its first entry, B itself in affine
// Niels form: tables come from EdwardsBasepointTable::create or the
// generator, so equal first entries mean equal tables. Bases and their
// multiples are public.
class LaneTables {
 public:
  explicit LaneTables(const vector::KernelTable& kernels) : kernels_(kernels) {}

  std::shared_ptr<const void> get(const EdwardsBasepointTable& table) {
    const AffineNielsPoint& base = table.tables[0].entries[0];
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& slot : slots_) {
      if (slot.lanes && std::memcmp(&slot.base, &base, sizeof base) == 0) return slot.lanes;
    }
    const int window = kernels_.fixed_window_bits;
    const std::vector<AffineNielsPoint> multiples =
        affine_niels_multiples(table.basepoint(), 1 << (window - 1), window, kernels_.fixed_digits);
    constexpr std::align_val_t kAlign{64};
    std::shared_ptr<void> lanes(::operator new(kernels_.fixed_table_bytes, kAlign),
                                [](void* p) { ::operator delete(p, kAlign); });
    kernels_.fixed_table_fill(reinterpret_cast<const vector::NielsLimbs*>(multiples.data()), lanes.get());
    Slot& slot = slots_[next_];
    next_ = (next_ + 1) % slots_.size();
    std::memcpy(&slot.base, &base, sizeof base);
    slot.lanes = std::move(lanes);
    return slot.lanes;
  }

 private:
  struct Slot {
    AffineNielsPoint base;
    std::shared_ptr<const void> lanes;
  };
  const vector::KernelTable& kernels_;
  std::mutex mutex_;
  // The base point, a bank's key, and room for a second key or a test's.
  std::array<Slot, 4> slots_;
  std::size_t next_ = 0;
};

template <const vector::KernelTable& K>
struct VectorEntries {
  using PointLimbs = vector::PointLimbs;
  using NielsLimbs = vector::NielsLimbs;

  // The kernels read and write the portable types in place: an EdwardsPoint
  // is X, Y, Z, T of five 64-bit limbs each, and an affine Niels point three
  // such elements, all contiguous.
  static_assert(std::is_standard_layout_v<EdwardsPoint> && sizeof(EdwardsPoint) == sizeof(PointLimbs));
  static_assert(std::is_standard_layout_v<AffineNielsPoint> && sizeof(AffineNielsPoint) == sizeof(NielsLimbs));
  static_assert(sizeof(CompressedEdwardsY) == 32 && sizeof(Representative) == 32);
  // Flags are written and read in place as Choice's byte, 0 or 1.
  static_assert(std::is_standard_layout_v<Choice> && sizeof(Choice) == 1);

  static const PointLimbs* limbs(std::span<const EdwardsPoint> points) {
    return reinterpret_cast<const PointLimbs*>(points.data());
  }
  static PointLimbs* limbs(std::span<EdwardsPoint> points) { return reinterpret_cast<PointLimbs*>(points.data()); }
  template <class T>
  static auto bytes(std::span<T> s) {
    using Byte = std::conditional_t<std::is_const_v<T>, const std::uint8_t, std::uint8_t>;
    return reinterpret_cast<Byte*>(s.data());
  }

  static void mul_same_scalar(std::span<const EdwardsPoint> points, const Scalar& k, std::span<EdwardsPoint> out) {
    const Digits digits = digits_of({&k, 1}, &Scalar::as_radix_16);
    K.variable_base(limbs(points), digits.data(), 0, points.size(), limbs(out));
  }

  static void mul_many(std::span<const EdwardsPoint> points, std::span<const Scalar> scalars,
                       std::span<EdwardsPoint> out) {
    const Digits digits = digits_of(scalars, &Scalar::as_radix_16);
    K.variable_base(limbs(points), digits.data(), 64, points.size(), limbs(out));
  }

  static void fixed_base_many(const EdwardsBasepointTable& table, std::span<const Scalar> scalars,
                              std::span<EdwardsPoint> out) {
    if (scalars.empty()) return;
    static LaneTables lane_tables(K);
    const std::shared_ptr<const void> lanes = lane_tables.get(table);
    const Digits digits = K.fixed_window_bits == 6 ? digits_of(scalars, &Scalar::as_radix_2w<6>)
                                                   : digits_of(scalars, &Scalar::as_radix_16);
    K.fixed_base(lanes.get(), digits.data(), scalars.size(), limbs(out));
  }

  static void mul_by_cofactor_many(std::span<const EdwardsPoint> points, std::span<EdwardsPoint> out) {
    K.mul_by_cofactor(limbs(points), points.size(), limbs(out));
  }

  static void compress_many(std::span<const EdwardsPoint> points, std::span<CompressedEdwardsY> out) {
    K.compress(limbs(points), points.size(), bytes(out));
  }

  static void decompress_many(std::span<const CompressedEdwardsY> in, std::span<EdwardsPoint> out,
                              std::span<Choice> valid) {
    K.decompress(bytes(in), in.size(), limbs(out), bytes(valid));
  }

  static void uniform_bytes_to_point_many(std::span<const Representative> in, std::span<EdwardsPoint> out,
                                          std::span<Choice> on_curve) {
    K.uniform_bytes_to_point(bytes(in), in.size(), limbs(out), bytes(on_curve));
  }

  static void point_to_uniform_bytes_many(std::span<const EdwardsPoint> points, std::span<const Choice> branches,
                                          std::span<Representative> out, std::span<Choice> valid) {
    K.point_to_uniform_bytes(limbs(points), bytes(branches), points.size(), bytes(out), bytes(valid));
  }

  static constexpr Backend backend(const char* name, std::size_t lanes) {
    return Backend{name, lanes, &mul_same_scalar, &mul_many, &fixed_base_many, &mul_by_cofactor_many,
                   &compress_many, &decompress_many, &uniform_bytes_to_point_many, &point_to_uniform_bytes_many};
  }
};

}  // namespace
}  // namespace backend

constinit const Backend AVX2_BACKEND = backend::VectorEntries<backend::avx2::kKernels>::backend("avx2", 4);
constinit const Backend IFMA_BACKEND = backend::VectorEntries<backend::ifma::kKernels>::backend("ifma-avx512", 8);
constinit const Backend IFMA_VPMULLQ_BACKEND =
    backend::VectorEntries<backend::ifma::kKernelsVpmullq>::backend("ifma-avx512-vpmullq", 8);

}  // namespace vorlinde::curve
