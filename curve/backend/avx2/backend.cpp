// The AVX2 backend's batch entries (curve/backend/vector_entries.hpp) over
// its kernels. Built for the baseline instruction set; only the kernels are
// built for AVX2.

#include "curve/backend.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "curve/backend/vector_entries.hpp"

namespace vorlinde::curve {
namespace {

struct Kernels {
  using PointLimbs = backend::avx2::PointLimbs;
  using NielsLimbs = backend::avx2::NielsLimbs;
  static constexpr std::size_t kLanes = backend::avx2::kLanes;
  static constexpr auto variable_base = &backend::avx2::variable_base;
  static constexpr auto fixed_base = &backend::avx2::fixed_base;
  static constexpr auto mul_by_cofactor = &backend::avx2::mul_by_cofactor;
  static constexpr auto compress = &backend::avx2::compress;
  static constexpr auto decompress = &backend::avx2::decompress;
  static constexpr auto uniform_bytes_to_point = &backend::avx2::uniform_bytes_to_point;
  static constexpr auto point_to_uniform_bytes = &backend::avx2::point_to_uniform_bytes;
};

}  // namespace

constinit const Backend AVX2_BACKEND = backend::VectorEntries<Kernels>::backend("avx2");

}  // namespace vorlinde::curve
