// The AVX-512 backend's batch entries (curve/backend/vector_entries.hpp) over
// its kernels. Built for the baseline instruction set; only the kernels are
// built for AVX-512.

#include "curve/backend.hpp"
#include "curve/backend/ifma/kernel.hpp"
#include "curve/backend/vector_entries.hpp"

namespace vorlinde::curve {
namespace {

struct Kernels {
  using PointLimbs = backend::ifma::PointLimbs;
  using NielsLimbs = backend::ifma::NielsLimbs;
  static constexpr std::size_t kLanes = backend::ifma::kLanes;
  static constexpr auto variable_base = &backend::ifma::variable_base;
  static constexpr auto fixed_base = &backend::ifma::fixed_base;
  static constexpr auto mul_by_cofactor = &backend::ifma::mul_by_cofactor;
  static constexpr auto compress = &backend::ifma::compress;
  static constexpr auto decompress = &backend::ifma::decompress;
  static constexpr auto uniform_bytes_to_point = &backend::ifma::uniform_bytes_to_point;
  static constexpr auto point_to_uniform_bytes = &backend::ifma::point_to_uniform_bytes;
};

}  // namespace

constinit const Backend IFMA_BACKEND = backend::VectorEntries<Kernels>::backend("ifma-avx512");

}  // namespace vorlinde::curve
