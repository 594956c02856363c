#pragma once
// The message of the runtime::Failure that `call` throws, or "no failure", so a
// test can compare the exact caller-visible text with one EXPECT_EQ.

#include <string>
#include <utility>

#include "runtime/failure.hpp"

namespace vorlinde::test_support {

template <class F>
std::string failure_message(F&& call) {
  try {
    std::forward<F>(call)();
  } catch (const runtime::Failure& failure) {
    return failure.what();
  }
  return "no failure";
}

}  // namespace vorlinde::test_support
