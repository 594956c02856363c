#pragma once
// The one failure type of the core. Every operation failure is thrown as a
// Failure whose what() is the exact message the caller sees; the module surface
// turns it into the Python-side exception. Workers' failures are carried to the
// calling thread unchanged.

#include <stdexcept>
#include <string>

namespace vorlinde::runtime {

class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
  explicit Failure(const char* message) : std::runtime_error(message) {}
};

}  // namespace vorlinde::runtime
