#include "work/policy.h"

namespace nuvra::policy {

const char* flavourName() noexcept { return "testbed"; }

}  // namespace nuvra::policy
