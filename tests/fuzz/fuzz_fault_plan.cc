// parseFaultPlan accepts a plan only when every entry is "site:n:error" with
// a site of the allowed characters and two canonical non-zero decimals, and
// what it accepts prints back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "accepting_branch.h"
#include "common/fault_plan.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedPlan("accepted_plan");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto arms = nuvra::parseFaultPlan(text);
  if (!arms) return 0;
  std::string printed;
  for (const nuvra::FaultArm& arm : *arms) {
    if (arm.site.empty() || arm.nth == 0 || arm.error == 0) std::abort();
    if (!printed.empty()) printed += ',';
    printed += arm.site + ':' + std::to_string(arm.nth) + ':' + std::to_string(arm.error);
  }
  if (printed != text) std::abort();
  if (!arms->empty()) acceptedPlan.reached();
  return 0;
}
