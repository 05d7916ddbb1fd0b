#include "addon/job_kind.h"

namespace nuvra {

std::string_view settlementFailure(bool completedByNode, std::string_view storedError) noexcept {
  if (!completedByNode) return "profile_native_cancelled";
  return storedError;
}

}  // namespace nuvra
