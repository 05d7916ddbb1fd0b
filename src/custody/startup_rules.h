// The rules of a runtime's startup that need no Windows: handoff bounds,
// deadlines, roles, the committed-selection comparisons and the result text.
// Pure functions of their input; they throw a reason code on refusal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/deadline.h"
#include "common/flat_json.h"
#include "common/layout.h"

namespace nuvra::startup {

inline constexpr std::string_view kOrdinarySchema = "nuvra.profile-startup.v1";
inline constexpr std::string_view kJobSchema = "nuvra.profile-startup-job.v1";
inline constexpr std::string_view kServicingSchema = "nuvra.runtime-servicing.v1";

// NUVRA_PROFILE_HANDOFF is read into 32 UTF-16 units, one kept for the NUL.
inline constexpr std::size_t kHandoffVariableMaxChars = 31;

inline constexpr std::size_t kMaxGuards = 4096;

enum class RuntimeRole { entry, resident };

// The length word of the handoff mapping must be 1 to 262140; "profile_mapping".
void checkHandoffLength(std::uint32_t length);

// Passes only while now is before the deadline and the deadline is at most
// 3000 ms (job startup: 30000 ms) away; "profile_startup_timeout".
void checkStartupDeadline(std::uint64_t now, std::uint64_t deadline, bool jobStartup);
// Milliseconds left until the deadline, 0 when none.
std::uint32_t millisecondsLeft(std::uint64_t now, std::uint64_t deadline);

// True for a job startup, false for an ordinary one; "profile_schema".
bool isJobSchema(std::string_view schema);
// "setup" only; "profile_startup_job_kind".
void checkJobKind(std::string_view kind);
// Absent is "entry"; "resident" only outside job startups; "profile_resident_role".
RuntimeRole parseRuntimeRole(const std::optional<std::string>& role, bool jobStartup);
// "none", "connect" or "finish"; "profile_startup_purpose".
void checkAccountPurpose(std::string_view purpose);

// The handoff values the committed selection is compared with.
struct HandoffSelection {
  std::string home;
  std::string ownerSidHash;
  std::string payloadDigest;
  std::string generation;
};

struct ServicingRecord {
  std::string schemaVersion;
  std::string state;
  std::string installationRoot;
  std::string ownerSidHash;
  std::string digest;
  std::string generation;
  std::string version;
  std::string lifetimeIdentity;
  std::string workIdentity;
};

// The servicing record's fields as a tool without the engine reads them
// (absent or not a string: empty).
ServicingRecord servicingFields(const FlatObject& object);

// The servicing record must be committed for exactly this handoff;
// "profile_selection". Byte comparisons throughout.
void checkServicingSelection(const HandoffSelection& handoff, const ServicingRecord& servicing);

struct CurrentRecord {
  std::string version;
  std::string digest;
};

struct AdmissionRecord {
  std::string installationRoot;
  std::string ownerSidHash;
  std::string payloadDigest;
  std::string nativeEntry;
};

// Collects the "sha256" of the admission files that name the native entry.
// A second such file is refused at once, even with an equal hash.
class NativeDigestScan {
 public:
  // True when `path` names the native entry, so the caller reads its hash.
  static bool namesNativeEntry(std::string_view path) noexcept { return path == kNativeEntryPath; }
  // "profile_native_target" for a second entry.
  void offer(std::string sha256);
  // 64 lowercase hex digits, else "profile_native_target" (none found included).
  std::string result() const;

 private:
  std::optional<std::string> sha256_;
};

// Admission entry point, then the record agreements of the committed
// selection. `rootMatches` is the caller's case-insensitive comparison of
// the handoff root with home + "\runtime\" + version, done first by the
// caller because it needs the platform's path rules.
void checkAdmissionEntry(const AdmissionRecord& admission);
void checkRecordAgreement(const HandoffSelection& handoff, const ServicingRecord& servicing,
                          const CurrentRecord& current, const AdmissionRecord& admission,
                          bool rootMatches);

// Guard paths as a JSON array body: quoted, escaped, comma-separated.
void appendGuardPath(std::string& arrayBody, std::string_view pathUtf8);

struct StartupResult {
  std::string home;
  std::string root;
  std::string payloadDigest;
  std::string generation;
  std::string deadlineTick64;
  std::string guardPathArrayBody;
};

// The object `initialize` returns, in its fixed key order, without spaces.
std::string startupResultText(const StartupResult& result);

}  // namespace nuvra::startup
