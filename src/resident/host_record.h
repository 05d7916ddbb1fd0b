// The resident-host record: the work handoff text of the resident broker host.
// Built by the launch (children/launch_win.cc, kind 13) after it duplicated
// the handles; read back and checked by the host role of the broker
// executable before it trusts any handle value in it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "launch/handoff_guards.h"

namespace nuvra {

struct ResidentHostFields {
  std::string home;  // UTF-8
  std::string root;  // UTF-8
  std::string ownerSidHash;
  std::string payloadDigest;
  std::string generation;
  std::uint64_t deadline = 0;       // "deadline_tick64": the ceiling
  std::uint64_t serialization = 0;  // "s"
  std::uint64_t lifetime = 0;       // "l"
  std::uint64_t activation = 0;
  std::uint64_t parent = 0;
  std::uint32_t parentPid = 0;
  std::string guards;  // HandoffGuards::text()
};

// "nuvra.profile-resident-host.v1" and the twelve keys after it in their
// fixed order; handles, "deadline_tick64" and "file_id" as decimal strings,
// "parent_pid" and "volume" as bare numbers. No line feed.
std::string residentHostRecord(const ResidentHostFields& fields);

// The host role's check of its handoff text: exactly the thirteen keys in
// order, the schema name, non-empty texts, canonical handle values (positive,
// below 2^63-1), a positive "parent_pid", a guard list whose handles include
// "l". Anything else is "profile_resident_host".
struct ResidentHostHandoff {
  ResidentHostFields fields;  // `guards` left empty
  std::vector<HandoffGuard> guards;
};
ResidentHostHandoff readResidentHostRecord(std::string_view text);

}  // namespace nuvra
