#include "work/policy.h"

namespace nuvra::policy {

const char* flavourName() noexcept { return "release"; }

}  // namespace nuvra::policy
