// The account worker's reading of its handoff text: any text is either
// refused with "profile_account_handoff" or read into a record that, written
// again and filled with its control values, reads back to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "accepting_branch.h"
#include "account/idle_account_record.h"
#include "common/reason.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedRecord("idle_account_record");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nuvra::IdleAccountHandoff handoff;
  try {
    handoff = nuvra::readIdleAccountRecord(text);
  } catch (const nuvra::ProfileError& refused) {
    if (std::string_view(refused.what()) != "profile_account_handoff") std::abort();
    return 0;
  }
  if (handoff.controlRead == 0 || handoff.controlWrite == 0 || handoff.fields.instanceNonce == 0 ||
      handoff.guards.empty()) {
    std::abort();
  }
  // Written again from what was read, the text names the same values.
  nuvra::IdleAccountFields fields = handoff.fields;
  std::string guards = "[";
  for (const nuvra::HandoffGuard& guard : handoff.guards) {
    nuvra::HandoffGuards one;
    one.add(guard, false);
    const std::string single = one.text();
    if (guards.size() > 1) guards += ",";
    guards += single.substr(1, single.size() - 2);
  }
  fields.guards = guards + "]";
  std::string again = nuvra::idleAccountRecord(fields);
  again = nuvra::fillControlHandle(again, "control_read", handoff.controlRead);
  again = nuvra::fillControlHandle(again, "control_write", handoff.controlWrite);
  const nuvra::IdleAccountHandoff reread = nuvra::readIdleAccountRecord(again);
  if (reread.fields.home != fields.home || reread.fields.instanceNonce != fields.instanceNonce ||
      reread.fields.deadline != fields.deadline || reread.fields.lifetime != fields.lifetime ||
      reread.fields.parentPid != fields.parentPid || reread.controlRead != handoff.controlRead ||
      reread.controlWrite != handoff.controlWrite ||
      reread.guards.size() != handoff.guards.size()) {
    std::abort();
  }
  acceptedRecord.reached();
  return 0;
}
