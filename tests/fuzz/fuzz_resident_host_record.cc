// Any text the host role is handed either is refused with
// "profile_resident_host" or is a record the runtime's builder writes back
// from what the reader took out of it, as a text that reads the same.
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

// The record the runtime's builder writes from what the reader took out.
std::string rebuild(const nuvra::ResidentHostHandoff& handoff) {
  nuvra::HandoffGuards guards;
  for (const nuvra::HandoffGuard& guard : handoff.guards) {
    guards.add(guard, guard.handle == handoff.fields.lifetime);
  }
  if (guards.lifetime() != handoff.fields.lifetime) std::abort();
  nuvra::ResidentHostFields fields = handoff.fields;
  fields.guards = guards.text();
  return nuvra::residentHostRecord(fields);
}

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
  const std::string rebuilt = rebuild(handoff);
  // A text may spell a string with escapes the builder does not use ("\b"
  // for "\u0008"): what the builder writes back must read as the same record
  // and rebuild to itself.
  nuvra::ResidentHostHandoff again;
  try {
    again = nuvra::readResidentHostRecord(rebuilt);
  } catch (const nuvra::ProfileError&) {
    std::abort();
  }
  if (rebuild(again) != rebuilt) std::abort();
  acceptedRecord.reached();
  return 0;
}
