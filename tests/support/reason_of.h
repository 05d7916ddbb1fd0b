// The reason a call fails with: the message of the exception it throws, or
// "" when it returns normally. Shared by the host and Windows unit tests.
#pragma once

#include <exception>
#include <string>

#include "common/fault_injection.h"

namespace nuvra::testing {

template <typename Call>
std::string reasonOf(Call&& call) {
  try {
    call();
  } catch (const std::exception& failure) {
    NUVRA_NOTE_REASON(failure.what());
    return failure.what();
  }
  return "";
}

}  // namespace nuvra::testing
