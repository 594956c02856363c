#include <gtest/gtest.h>

#include <string_view>

#include "curve/scalar_mul.hpp"

namespace vorlinde::curve {
namespace {

// The portable backend is always there, first; names are unique because the
// constant-time check selects backends by name.
TEST(ScalarMulDispatch, ListStartsWithThePortableBackendAndNamesAreUnique) {
  const auto backends = scalar_mul_backends();
  ASSERT_FALSE(backends.empty());
  EXPECT_EQ(backends.front(), &SERIAL_SCALAR_MUL);
  for (std::size_t i = 0; i < backends.size(); ++i)
    for (std::size_t j = i + 1; j < backends.size(); ++j)
      EXPECT_NE(std::string_view(backends[i]->name), std::string_view(backends[j]->name));
}

// Once scalar_mul_backend() has answered, forcing must refuse rather than
// switch backends under code that may already be running.
TEST(ScalarMulDispatch, ForcingAfterTheChoiceOrAnUnknownNameChangesNothing) {
  const ScalarMulBackend& chosen = scalar_mul_backend();
  for (const ScalarMulBackend* backend : scalar_mul_backends()) EXPECT_FALSE(force_scalar_mul_backend(backend->name));
  EXPECT_FALSE(force_scalar_mul_backend("no-such-backend"));
  EXPECT_EQ(&scalar_mul_backend(), &chosen);
}

}  // namespace
}  // namespace vorlinde::curve
