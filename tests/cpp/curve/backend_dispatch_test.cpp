#include <gtest/gtest.h>

#include <string_view>

#include "curve/backend.hpp"

namespace vorlinde::curve {
namespace {

// The portable backend is always there, first; names are unique because the
// constant-time check selects backends by name.
TEST(BackendDispatch, ListStartsWithThePortableBackendAndNamesAreUnique) {
  const auto backends = available_backends();
  ASSERT_FALSE(backends.empty());
  EXPECT_EQ(backends.front(), &SERIAL_BACKEND);
  for (std::size_t i = 0; i < backends.size(); ++i)
    for (std::size_t j = i + 1; j < backends.size(); ++j)
      EXPECT_NE(std::string_view(backends[i]->name), std::string_view(backends[j]->name));
}

// Once active_backend() has answered, forcing must refuse rather than
// switch backends under code that may already be running.
TEST(BackendDispatch, ForcingAfterTheChoiceOrAnUnknownNameChangesNothing) {
  const Backend& chosen = active_backend();
  for (const Backend* backend : available_backends()) EXPECT_FALSE(force_backend(backend->name));
  EXPECT_FALSE(force_backend("no-such-backend"));
  EXPECT_EQ(&active_backend(), &chosen);
}

}  // namespace
}  // namespace vorlinde::curve
