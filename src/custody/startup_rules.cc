#include "custody/startup_rules.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra::startup {

void checkHandoffLength(std::uint32_t length) {
  if (length == 0 || length > kHandoffTextLimit) fail("profile_mapping");
}

void checkStartupDeadline(std::uint64_t now, std::uint64_t deadline, bool jobStartup) {
  const std::uint64_t window = jobStartup ? kJobStartupWindowMs : kOrdinaryWindowMs;
  // Written as a difference so that a deadline near 2^64 cannot wrap.
  if (now >= deadline || deadline - now > window) fail("profile_startup_timeout");
}

std::uint32_t millisecondsLeft(std::uint64_t now, std::uint64_t deadline) {
  if (now >= deadline) return 0;
  const std::uint64_t left = deadline - now;
  // A wait never gets INFINITE (0xFFFFFFFF) by accident of a far deadline.
  return left >= 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<std::uint32_t>(left);
}

bool isJobSchema(std::string_view schema) {
  if (schema == kOrdinarySchema) return false;
  if (schema == kJobSchema) return true;
  fail("profile_schema");
}

void checkJobKind(std::string_view kind) {
  if (kind != "setup") fail("profile_startup_job_kind");
}

RuntimeRole parseRuntimeRole(const std::optional<std::string>& role, bool jobStartup) {
  if (!role || *role == "entry") return RuntimeRole::entry;
  if (*role == "resident" && !jobStartup) return RuntimeRole::resident;
  fail("profile_resident_role");
}

void checkAccountPurpose(std::string_view purpose) {
  if (purpose != "none" && purpose != "connect" && purpose != "finish") {
    fail("profile_startup_purpose");
  }
}

ServicingRecord servicingFields(const FlatObject& object) {
  ServicingRecord servicing;
  servicing.schemaVersion = memberText(object, "schema_version");
  servicing.state = memberText(object, "state");
  servicing.installationRoot = memberText(object, "installation_root");
  servicing.ownerSidHash = memberText(object, "owner_sid_hash");
  servicing.digest = memberText(object, "digest");
  servicing.generation = memberText(object, "generation");
  servicing.version = memberText(object, "version");
  servicing.lifetimeIdentity = memberText(object, "lifetime_identity");
  servicing.workIdentity = memberText(object, "work_identity");
  return servicing;
}

void checkServicingSelection(const HandoffSelection& handoff, const ServicingRecord& servicing) {
  const bool committed =
      servicing.schemaVersion == kServicingSchema && servicing.state == "COMMITTED" &&
      servicing.installationRoot == handoff.home &&
      servicing.ownerSidHash == handoff.ownerSidHash && servicing.digest == handoff.payloadDigest &&
      servicing.generation == handoff.generation;
  if (!committed) fail("profile_selection");
}

void NativeDigestScan::offer(std::string sha256) {
  if (sha256_) fail("profile_native_target");
  sha256_ = std::move(sha256);
}

std::string NativeDigestScan::result() const {
  if (!sha256_ || sha256_->size() != 64) fail("profile_native_target");
  for (const char c : *sha256_) {
    const bool lowerHex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!lowerHex) fail("profile_native_target");
  }
  return *sha256_;
}

void checkAdmissionEntry(const AdmissionRecord& admission) {
  if (admission.nativeEntry != kNativeEntryPath) fail("profile_native_target");
}

void checkRecordAgreement(const HandoffSelection& handoff, const ServicingRecord& servicing,
                          const CurrentRecord& current, const AdmissionRecord& admission,
                          bool rootMatches) {
  if (servicing.version != current.version || servicing.digest != current.digest) {
    fail("profile_selection");
  }
  const bool agreed = rootMatches && admission.installationRoot == handoff.home &&
                      admission.ownerSidHash == handoff.ownerSidHash &&
                      admission.payloadDigest == handoff.payloadDigest;
  if (!agreed) fail("profile_selection");
}

void appendGuardPath(std::string& arrayBody, std::string_view pathUtf8) {
  if (!arrayBody.empty()) arrayBody += ',';
  arrayBody += jsonString(pathUtf8);
}

std::string startupResultText(const StartupResult& result) {
  return RecordBuilder()
      .string("home", result.home)
      .string("root", result.root)
      .string("payload_digest", result.payloadDigest)
      .string("generation", result.generation)
      .string("deadline_tick64", result.deadlineTick64)
      .raw("guards", "[" + result.guardPathArrayBody + "]")
      .text();
}

}  // namespace nuvra::startup
