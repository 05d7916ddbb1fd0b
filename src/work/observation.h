// The observation texts of observeBroker: the calling runtime described in
// the terms of the broker's records. No Windows: callers pass what they read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

// "identity" or "residency", exactly; else "profile_observation_purpose".
//   "identity"    kIdentity
//   "Identity"    refused
enum class ObservationPurpose { kIdentity, kResidency };
ObservationPurpose observationPurpose(std::string_view purpose);

// {"owner_sid_hash":...,"authentication_id_hash":...,"windows_session_id":N}
// Never the SID itself, only hashes and the session id.
std::string identityObservation(std::string_view ownerSidHash,
                                std::string_view authenticationIdHash, std::uint32_t sessionId);

// {"broker_scope":"harness_session"|"machine","pid":N,
//  "process_creation_filetime":"...","image_path_sha256":"..."}
// A process in any job object runs in a harness session.
std::string residencyObservation(bool inJob, std::uint32_t pid, std::string_view creationFiletime,
                                 std::string_view imagePathSha256);

}  // namespace nuvra
