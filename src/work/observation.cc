#include "work/observation.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

ObservationPurpose observationPurpose(std::string_view purpose) {
  if (purpose == "identity") return ObservationPurpose::kIdentity;
  if (purpose == "residency") return ObservationPurpose::kResidency;
  fail("profile_observation_purpose");
}

std::string identityObservation(std::string_view ownerSidHash,
                                std::string_view authenticationIdHash, std::uint32_t sessionId) {
  return RecordBuilder()
      .string("owner_sid_hash", ownerSidHash)
      .string("authentication_id_hash", authenticationIdHash)
      .number("windows_session_id", sessionId)
      .text();
}

std::string residencyObservation(bool inJob, std::uint32_t pid, std::string_view creationFiletime,
                                 std::string_view imagePathSha256) {
  return RecordBuilder()
      .string("broker_scope", inJob ? "harness_session" : "machine")
      .number("pid", pid)
      .string("process_creation_filetime", creationFiletime)
      .string("image_path_sha256", imagePathSha256)
      .text();
}

}  // namespace nuvra
