// `initialize`: proves the custody this runtime was started with and records
// the startup profile. The numbered steps below are the order the proof is
// made in; a reason code leaves at the first step that fails.
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "addon/frame_napi.h"
#include "addon/json_value_napi.h"
#include "common/fault_injection.h"
#include "common/identity_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/custody_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "custody/selection_records_win.h"
#include "custody/serialization_object_win.h"
#include "custody/servicing_win.h"
#include "custody/startup_rules.h"
#include "custody/timing_trace_win.h"
#include "startup/startup_napi.h"

namespace nuvra {
namespace {

using startup::RuntimeRole;

// A JSON number key holding an unsigned 32-bit integer. JSON numbers are
// doubles: a fraction or a value out of range is refused rather than
// truncated into some other process id or volume serial.
std::uint32_t readUint32Property(napi_env env, napi_value object, const char* name) {
  const napi_value value = namedProperty(env, object, name);
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  if (type != napi_number) fail("profile_native_api");
  double number = 0;
  napiCheck(napi_get_value_double(env, value, &number));
  if (!(number >= 0 && number <= 4294967295.0) || std::floor(number) != number) {
    fail("profile_native_api");
  }
  return static_cast<std::uint32_t>(number);
}

// A JSON array key: its value and length.
std::pair<napi_value, std::uint32_t> readArrayProperty(napi_env env, napi_value object,
                                                       const char* name) {
  const napi_value value = namedProperty(env, object, name);
  bool isArray = false;
  napiCheck(napi_is_array(env, value, &isArray));
  if (!isArray) fail("profile_native_api");
  std::uint32_t length = 0;
  napiCheck(napi_get_array_length(env, value, &length));
  return {value, length};
}

napi_value arrayElement(napi_env env, napi_value array, std::uint32_t index) {
  napi_value element = nullptr;
  napiCheck(napi_get_element(env, array, index, &element));
  return element;
}

bool isAbsent(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  return type == napi_undefined;
}

bool isString(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  return type == napi_string;
}

// A servicing record key that may be absent: a record in another state
// (RECOVERY_REQUIRED) lacks most keys and must fail the selection, not the
// parse. Absent or non-string reads as empty, which matches nothing.
std::string readSelectionString(napi_env env, napi_value object, const char* name) {
  if (!isString(env, namedProperty(env, object, name))) return {};
  return readStringProperty(env, object, name);
}

HANDLE readHandle(napi_env env, napi_value object, const char* name) {
  return handleFromValue(readHandleProperty(env, object, name));
}

// The handoff text is the launcher's; a text that does not parse is a
// broken handoff, reported as such rather than as the engine's SyntaxError.
napi_value parseHandoff(napi_env env, const std::string& text) {
  try {
    return parseJsonValue(env, text);
  } catch (const ProfileError&) {
    takePendingException(env);
    fail("profile_native_api");
  }
}

// Residency belongs to the resident host; without it a resident start ends
// here, as residency not available.
void reserveResidency(std::uint64_t startTick) {
  const auto reserve = startupHooks().hooks().reserveResident;
  if (reserve == nullptr) fail("profile_resident_unavailable");
  reserve(startTick);
}

napi_value resultObject(napi_env env, const std::string& resultText) {
  return parseJsonValue(env, resultText);
}

// Releases the serialisation mutex before a failure leaves; a failed release
// poisons the addon and becomes the failure.
void releaseOrPoison(HANDLE serialization) {
  if (!NUVRA_INJECT("initialize.release", FALSE, ReleaseMutex(serialization))) {
    setPoisoned();
    fail("profile_owner_release");
  }
}

// The stored result of an earlier success, read under processLock.
std::optional<std::string> initializedResultText() {
  std::lock_guard lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) return std::nullopt;
  return profile.resultText;
}

// One initialize at a time in the process, and none inside another on the
// same thread. Lock order: this lock, then the serialisation mutex, then
// processLock; processLock is never held while JavaScript runs or while the
// mutex is waited for.
class InitializeCall {
 public:
  InitializeCall() {
    if (running_) fail("profile_poisoned");
    lock_ = std::unique_lock(callLock());
    running_ = true;
  }
  InitializeCall(const InitializeCall&) = delete;
  InitializeCall& operator=(const InitializeCall&) = delete;
  ~InitializeCall() { running_ = false; }

 private:
  static std::mutex& callLock() {
    static std::mutex* const lock = new std::mutex();
    return *lock;
  }
  static thread_local bool running_;
  std::unique_lock<std::mutex> lock_;
};
thread_local bool InitializeCall::running_ = false;

struct SelectionOutcome {
  std::string servicingText;
  std::string currentText;
  std::string admissionText;
  std::string nativeSha256;
};

// One guard element of the handoff, read before the mutex is owned.
struct HandoffGuard {
  HANDLE handle = nullptr;
  std::string path;
  std::uint32_t volume = 0;
  std::string fileId;
};

// The handoff fields step 19a checks. They are read before step 16, so
// that no getter the product's JavaScript planted runs while this thread
// owns the home's serialisation mutex; only the records' own parse does.
struct HandoffGuards {
  std::uint32_t count = 0;
  HANDLE lifetimeMarker = nullptr;
  HANDLE workMarker = nullptr;
  std::vector<HandoffGuard> guards;
};

HandoffGuards readHandoffGuards(napi_env env, napi_value handoff) {
  HandoffGuards read;
  const auto [guardArray, guardCount] = readArrayProperty(env, handoff, "guards");
  read.count = guardCount;
  read.lifetimeMarker = readHandle(env, handoff, "l");
  read.workMarker = readHandle(env, handoff, "r");
  if (guardCount < 1 || guardCount > startup::kMaxGuards) return read;
  for (std::uint32_t index = 0; index < guardCount; ++index) {
    const napi_value guard = arrayElement(env, guardArray, index);
    HandoffGuard& entry = read.guards.emplace_back();
    entry.handle = readHandle(env, guard, "handle");
    entry.path = readStringProperty(env, guard, "path");
    entry.volume = readUint32Property(env, guard, "volume");
    entry.fileId = readStringProperty(env, guard, "file_id");
  }
  return read;
}

// 18 and 19, run while the serialisation mutex is owned.
SelectionOutcome checkSelectionAndGuards(napi_env env, const HandoffGuards& handoffGuards,
                                         const startup::HandoffSelection& selection,
                                         const std::wstring& home, const std::wstring& root,
                                         std::uint64_t deadline, bool job,
                                         std::optional<GuardValidation>& guards) {
  SelectionOutcome outcome;
  // 18. The committed servicing record names exactly this runtime.
  startup::checkStartupDeadline(GetTickCount64(), deadline, job);
  outcome.servicingText = readSelectionRecord(home, SelectionRecord::servicing);
  const napi_value servicingObject = parseJsonValue(env, outcome.servicingText);
  startup::ServicingRecord servicing;
  servicing.schemaVersion = readSelectionString(env, servicingObject, "schema_version");
  servicing.state = readSelectionString(env, servicingObject, "state");
  servicing.installationRoot = readSelectionString(env, servicingObject, "installation_root");
  servicing.ownerSidHash = readSelectionString(env, servicingObject, "owner_sid_hash");
  servicing.digest = readSelectionString(env, servicingObject, "digest");
  servicing.generation = readSelectionString(env, servicingObject, "generation");
  servicing.version = readSelectionString(env, servicingObject, "version");
  servicing.lifetimeIdentity = readSelectionString(env, servicingObject, "lifetime_identity");
  servicing.workIdentity = readSelectionString(env, servicingObject, "work_identity");
  startup::checkServicingSelection(selection, servicing);
  parseDecimal64(selection.generation);

  // 19a. Guards and markers.
  if (handoffGuards.count < 1 || handoffGuards.count > startup::kMaxGuards) fail("profile_guards");
  guards.emplace(home, handoffGuards.lifetimeMarker, handoffGuards.workMarker,
                 servicing.lifetimeIdentity, servicing.workIdentity);
  for (const HandoffGuard& guard : handoffGuards.guards) {
    requireNonInheritable(guard.handle);
    guards->add(guard.handle, guard.path, guard.volume, parseDecimal64(guard.fileId));
  }
  guards->finish();

  // 19b. The runtime selection: current runtime and admission records.
  outcome.currentText = readSelectionRecord(home, SelectionRecord::current);
  outcome.admissionText = readSelectionRecord(home, SelectionRecord::admission);
  const napi_value currentObject = parseJsonValue(env, outcome.currentText);
  const napi_value admissionObject = parseJsonValue(env, outcome.admissionText);
  const napi_value payload = namedProperty(env, admissionObject, "payload");
  startup::AdmissionRecord admission;
  admission.nativeEntry =
      readStringProperty(env, namedProperty(env, payload, "entrypoints"), "native");
  startup::checkAdmissionEntry(admission);
  startup::NativeDigestScan scan;
  const auto [files, fileCount] = readArrayProperty(env, payload, "files");
  for (std::uint32_t index = 0; index < fileCount; ++index) {
    const napi_value file = arrayElement(env, files, index);
    if (startup::NativeDigestScan::namesNativeEntry(readStringProperty(env, file, "path"))) {
      scan.offer(readStringProperty(env, file, "sha256"));
    }
  }
  outcome.nativeSha256 = scan.result();
  startup::CurrentRecord current;
  current.version = readStringProperty(env, currentObject, "version");
  current.digest = readStringProperty(env, currentObject, "digest");
  admission.installationRoot = readStringProperty(env, admissionObject, "installation_root");
  admission.ownerSidHash = readStringProperty(env, admissionObject, "owner_sid_hash");
  admission.payloadDigest = readStringProperty(env, payload, "digest");
  const bool rootMatches =
      !servicing.version.empty() &&
      samePathIgnoringCase(root, home + L"\\runtime\\" + utf8ToUtf16(servicing.version));
  startup::checkRecordAgreement(selection, servicing, current, admission, rootMatches);
  return outcome;
}

napi_value initializeProfile(napi_env env) {
  // 4. The profile is read under processLock, never held while JavaScript
  // runs: the result's parse below may call the product's JSON.parse.
  {
    std::lock_guard lock(processState().processLock);
    if (isPoisoned()) fail("profile_poisoned");
  }
  if (const std::optional<std::string> stored = initializedResultText()) {
    return resultObject(env, *stored);
  }

  // 5. The handoff mapping named by the environment.
  const HANDLE mapping = handoffMappingFromEnvironment();
  // 6.
  const std::string handoffText = readHandoffText(mapping);
  // 7.
  const napi_value handoff = parseHandoff(env, handoffText);
  // 8. Kept even if a later step fails; used only once initialized. Owned
  // only once it is known to be a pipe, so that a bad value is never closed.
  const HANDLE ack = readHandle(env, handoff, "startup_ack");
  requireNonInheritable(ack);
  requirePipe(ack);
  {
    std::lock_guard lock(processState().processLock);
    StartupProfile& profile = startupProfile();
    if (profile.startupAck.get() != ack) profile.startupAck = UniqueHandle(ack);
  }
  // 9.
  const bool job = startup::isJobSchema(readStringProperty(env, handoff, "schema_version"));
  if (job) startup::checkJobKind(readStringProperty(env, handoff, "job_kind"));
  // 10.
  const std::string homeText = readStringProperty(env, handoff, "home");
  const std::string rootText = readStringProperty(env, handoff, "root");
  const std::wstring home = utf8ToUtf16(homeText);
  const std::wstring root = utf8ToUtf16(rootText);
  const std::string deadlineText = readStringProperty(env, handoff, "deadline_tick64");
  const std::uint64_t deadline = parseDecimal64(deadlineText);
  startup::checkStartupDeadline(GetTickCount64(), deadline, job);
  // 11.
  const napi_value roleValue = namedProperty(env, handoff, "runtime_role");
  std::optional<std::string> roleText;
  if (!isAbsent(env, roleValue)) roleText = readStringProperty(env, handoff, "runtime_role");
  const RuntimeRole role = startup::parseRuntimeRole(roleText, job);
  // 12. Same Windows user as the launcher.
  startup::HandoffSelection selection;
  selection.home = homeText;
  selection.ownerSidHash = readStringProperty(env, handoff, "owner_sid_hash");
  if (ownerSidHash() != selection.ownerSidHash) fail("profile_owner");
  // 13.
  requireNodeImage(root);
  // 14.
  const HANDLE parent = readHandle(env, handoff, "parent");
  requireNonInheritable(parent);
  const std::uint32_t parentPid = readUint32Property(env, handoff, "parent_pid");
  const std::string parentImage =
      proveParent(parent, parentPid, readStringProperty(env, handoff, "parent_image"));
  // 15. The inherited mutex is this home's serialisation mutex.
  const HANDLE serialization = readHandle(env, handoff, "s");
  requireNonInheritable(serialization);
  checkOwnerOnly(serialization, OwnedObject::kernelObject);
  proveSerializationMutex(serialization, home);
  selection.generation = readStringProperty(env, handoff, "generation");
  selection.payloadDigest = readStringProperty(env, handoff, "payload_digest");
  // What steps 19a and 23 read from the handoff, read now: the mutex is
  // not to be owned while a getter of the product's JavaScript runs.
  const HandoffGuards handoffGuards = readHandoffGuards(env, handoff);
  const std::optional<std::string> accountPurpose =
      job ? std::optional(readStringProperty(env, handoff, "account_purpose")) : std::nullopt;

  // 16. Own the mutex, within the deadline. processLock is not held: every
  // other thread's use of it would wait behind another process.
  startup::checkStartupDeadline(GetTickCount64(), deadline, job);
  const DWORD waited =
      WaitForSingleObject(serialization, startup::millisecondsLeft(GetTickCount64(), deadline));
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) fail("profile_owner_wait");

  // 17. A holder died inside its step: the runtime files may be half
  // changed, so the home is marked for repair before anyone goes on.
  if (waited == WAIT_ABANDONED) {
    try {
      recoverServicing(home);
    } catch (...) {
      // Keep the mutex owned until this process ends, so the next owner
      // finds it abandoned again and retries the recovery.
      setPoisoned();
      std::lock_guard lock(processState().processLock);
      keepHandle(startupProfile(), serialization);
      throw;
    }
    releaseOrPoison(serialization);
    fail("profile_recovery_required");
  }

  std::optional<GuardValidation> guards;
  SelectionOutcome outcome;
  try {
    // 18, 19.
    outcome =
        checkSelectionAndGuards(env, handoffGuards, selection, home, root, deadline, job, guards);
    // 20.
    startup::checkStartupDeadline(GetTickCount64(), deadline, job);
  } catch (...) {
    releaseOrPoison(serialization);
    throw;
  }
  releaseOrPoison(serialization);

  std::string resultText;
  {
    std::lock_guard lock(processState().processLock);
    StartupProfile& profile = startupProfile();
    // 21. Commit the profile.
    for (const HANDLE guard : guards->handles()) keepHandle(profile, guard);
    keepHandle(profile, serialization);
    keepHandle(profile, parent);
    keepHandle(profile, mapping);
    profile.resultText =
        startup::startupResultText({homeText, rootText, selection.payloadDigest,
                                    selection.generation, deadlineText, guards->pathArrayBody()});
    profile.serialization = serialization;
    profile.lifetimeMarker = guards->lifetimeMarker();
    profile.workMarker = guards->workMarker();
    profile.workMarkerVolume = guards->workMarkerVolume();
    profile.workMarkerIndex = guards->workMarkerIndex();
    profile.home = home;
    profile.root = root;
    profile.ownerSidHash = selection.ownerSidHash;
    profile.payloadDigest = selection.payloadDigest;
    profile.generation = selection.generation;
    profile.nativeSha256 = outcome.nativeSha256;
    profile.servicingText = std::move(outcome.servicingText);
    profile.currentText = std::move(outcome.currentText);
    profile.admissionText = std::move(outcome.admissionText);
    profile.guards = guards->guards();
    profile.deadline = deadline;
    profile.jobStartup = job;
    profile.role = role;

    // 22. A resident runtime is started by the native broker executable of
    // this very runtime, and then holds the residency.
    if (role == RuntimeRole::resident) {
      if (!samePathIgnoringCase(utf8ToUtf16(parentImage), nativeTargetPath(root))) {
        fail("profile_resident_parent");
      }
      reserveResidency(nativeEntryTick());
    }
    // 23.
    if (accountPurpose) {
      startup::checkAccountPurpose(*accountPurpose);
      profile.accountPurpose = *accountPurpose;
    }
    // 24.
    profile.initialized = true;
    removeHandoffVariable();
    resultText = profile.resultText;
  }
  return resultObject(env, resultText);
}

}  // namespace

napi_value initialize(napi_env env, napi_callback_info info) {
  // 1. The tick of the first native call, for the trace and the resident's
  // startup budget.
  bool first = false;
  const std::uint64_t entryTick = nativeEntryTick(&first);
  if (first) recordCheckpoint(kCheckpointNativeProfileEntry, entryTick);
  // 2. initialize's own lock for the whole call; processLock only around the
  // profile's reads and writes. The handoff's parse and its property reads
  // run the product's JavaScript (JSON.parse, getters on Object.prototype),
  // which may call back into the addon: holding processLock there would hang
  // the runtime on its own lock. A nested initialize on this thread is
  // refused instead of waiting on itself; the poison flag stays as it is,
  // since nothing was left half done.
  InitializeCall call;
  // 3.
  fetchOptionalArguments(env, info, 0);
  return initializeProfile(env);
}

}  // namespace nuvra
