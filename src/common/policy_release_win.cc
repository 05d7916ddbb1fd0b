#include "common/policy.h"

namespace nuvra::policy {

const char* flavourName() noexcept {
  return "release";
}

bool acceptsSystemAndUserOnlyFile(const SecurityFacts&, std::wstring_view, OwnedObject) noexcept {
  return false;
}

bool acceptsHighIntegrityUser(std::wstring_view) noexcept {
  return false;
}

}  // namespace nuvra::policy
