// Any text the host role is handed either is refused with
// "profile_resident_host" or is a record the runtime's builder writes back
// byte for byte from what the reader took out of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "accepting_branch.h"
#include "common/reason.h"
#include "launch/handoff_guards.h"
#include "resident/host_record.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedRecord("resident_host_record");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nuvra::ResidentHostHandoff handoff;
  try {
    handoff = nuvra::readResidentHostRecord(text);
  } catch (const nuvra::ProfileError& error) {
    if (std::string_view(error.what()) != "profile_resident_host") std::abort();
    return 0;
  }
  nuvra::HandoffGuards guards;
  for (const nuvra::HandoffGuard& guard : handoff.guards) {
    guards.add(guard, guard.handle == handoff.fields.lifetime);
  }
  if (guards.lifetime() != handoff.fields.lifetime) std::abort();
  nuvra::ResidentHostFields fields = handoff.fields;
  fields.guards = guards.text();
  if (nuvra::residentHostRecord(fields) != text) std::abort();
  acceptedRecord.reached();
  return 0;
}
