// Failures inside the addon are one exception type whose message is a reason
// code: lower_snake_case, never carrying a value from the input.
#pragma once

#include <stdexcept>

namespace nuvra {

class ProfileError : public std::runtime_error {
 public:
  explicit ProfileError(const char* reason) : std::runtime_error(reason) {}
};

[[noreturn]] inline void fail(const char* reason) {
  throw ProfileError(reason);
}

}  // namespace nuvra
