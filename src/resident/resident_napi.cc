#include "resident/resident_napi.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "addon/frame_napi.h"
#include "addon/json_value_napi.h"
#include "children/children_napi.h"
#include "common/crypto_win.h"
#include "common/fault_injection.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "diagnostics/events_napi.h"
#include "diagnostics/log_writer_win.h"
#include "diagnostics/profile_link_win.h"
#include "launch/launch_win.h"
#include "resident/resident_win.h"
#include "work/work_napi.h"

namespace nuvra {
namespace {

// A variable copied into the host's environment is read into this many
// UTF-16 units; a longer one does not fit.
constexpr DWORD kVariableUnits = 32768;

std::wstring brokerPath() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  return startupProfile().root + std::wstring(kBrokerRelativePath);
}

// ---- Kind 13: the resident host ---------------------------------------------

struct ResidentHostJob : NativeJob {
  using NativeJob::NativeJob;
  LaunchRequest request;
  ChildSlot child;
};

// "SystemRoot" and "WINDIR" as this process has them.
std::wstring copiedVariable(const wchar_t* name) {
  std::wstring value(kVariableUnits, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), kVariableUnits);
  if (length == 0 || length >= kVariableUnits) fail("profile_account_environment");
  value.resize(length);
  return value;
}

void executeResidentHost(NativeJob& base) {
  ResidentHostJob& job = jobAs<ResidentHostJob>(base);
  ResidentHostLaunch context;
  job.child = launchChild(job.request, context);
}

napi_value residentHostValue(napi_env env, NativeJob& base) {
  checkResidentAvailability();
  return installChild(env, jobAs<ResidentHostJob>(base).child);
}

// ---- Kind 6: the residency observation --------------------------------------

struct ObserveResidentJob : NativeJob {
  using NativeJob::NativeJob;
  std::wstring applicationPath;
  std::string resultText;
};

void executeObserveResident(NativeJob& base) {
  ObserveResidentJob& job = jobAs<ObserveResidentJob>(base);
  const auto availability = [] { checkResidentAvailability(); };
  // 1.
  const NativeTargetSnapshot snapshot = nativeTargetSnapshot();
  availability();
  checkNativeTarget(snapshot, job.applicationPath, availability);
  availability();
  // 2.
  std::string ownerHash;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    ownerHash = startupProfile().ownerSidHash;
  }
  const ProcessIdentity identity = readProcessIdentity(GetCurrentProcess());
  if (!meetsInteractiveUserRule(identity) ||
      sha256Hex(utf16ToUtf8(identity.user_sid)) != ownerHash) {
    fail("profile_observation_identity");
  }
  // 3.
  std::wstring image;
  try {
    image = utf8ToUtf16(processImagePath(GetCurrentProcess()));
  } catch (const ProfileError&) {
    fail("profile_observation_image");
  }
  if (!samePathIgnoringCase(image, snapshot.root + std::wstring(kNodeImageSuffix))) {
    fail("profile_observation_image");
  }
  availability();
  // 4.
  BOOL inJob = FALSE;
  FILETIME creation{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!NUVRA_INJECT("resident.in_job", FALSE,
                    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob)) ||
      !GetProcessTimes(GetCurrentProcess(), &creation, &exited, &kernel, &user)) {
    fail("profile_observation_scope");
  }
  const std::uint64_t created =
      (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  if (created == 0) fail("profile_observation_scope");
  // 5.
  const std::string imageHash = imagePathHash(GetCurrentProcess());
  // 6.
  job.resultText =
      residencyObservationText(inJob != FALSE, GetCurrentProcessId(), created, imageHash);
  availability();
}

napi_value observeResidentValue(napi_env env, NativeJob& base) {
  checkResidentAvailability();
  const napi_value object = parseJsonValue(env, jobAs<ObserveResidentJob>(base).resultText);
  setProperty(env, object, "purpose", makeString(env, "residency"));
  return completeRuntimeObject(env, object);
}

}  // namespace

const JobHandler kResidentHostJob = {
    executeResidentHost, residentHostValue, nullptr, nullptr, nullptr, nullptr};
const JobHandler kObserveResidentJob = {
    executeObserveResident, observeResidentValue, nullptr, nullptr, nullptr, nullptr};

bool isResidentObservation(const NativeJob& job) noexcept {
  return dynamic_cast<const ObserveResidentJob*>(&job) != nullptr;
}

napi_value spawnResidentHost(napi_env env, napi_callback_info info) {
  // 1.
  fetchArguments(env, info, 0);
  checkResidentAvailability();
  // 2.
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    if (residentState()->host) fail("profile_resident_host_duplicate");
  }
  // 3.
  auto job = newJob<ResidentHostJob>(JobKind::kSpawnResidentHost);
  LaunchRequest& request = job->request;
  request.kind = LaunchKind::residentHost;
  request.resident = true;
  request.applicationPath = brokerPath();
  request.arguments = {L"host", utf8ToUtf16(formatDecimal32(GetCurrentProcessId()))};
  request.environment.insert_or_assign(L"SystemRoot", copiedVariable(L"SystemRoot"));
  request.environment.insert_or_assign(L"WINDIR", copiedVariable(L"WINDIR"));
  if (loggingOff()) request.environment.insert_or_assign(L"NUVRA_AUTH_LOG_LEVEL", L"off");
  // 4.
  return queueJob(env, std::move(job));
}

napi_value observeResident(napi_env env, napi_callback_info info) {
  // 1.
  fetchArguments(env, info, 0);
  checkResidentAvailability();
  // 2.
  auto job = newJob<ObserveResidentJob>(JobKind::kObserveResidency);
  job->applicationPath = brokerPath();
  return queueJob(env, std::move(job));
}

napi_value residentStatus(napi_env env, napi_callback_info info) {
  // 1.
  fetchArguments(env, info, 0);
  const ResidentState* state = residentState();
  if (state == nullptr) {
    napi_value null = nullptr;
    napiCheck(napi_get_null(env, &null));
    return null;
  }
  // 2. Both values come from the tick this check read.
  const std::uint64_t now = checkResidentAvailability();
  // 3.
  if (!startupCustodyHeld()) fail("profile_resident_handoff_required");
  // 4.
  return parseJsonValue(env, residentStatusText(ceilingTimes(state->clock, now)));
}

napi_value residentCheckpoint(napi_env env, napi_callback_info info) {
  // 1.
  const Arguments arguments = fetchArguments(env, info, 1);
  checkResidentAvailability();
  // 2.
  if (loggingOff()) return makeBoolean(env, false);
  // 3.
  const std::string stage = readUtf8Argument(env, arguments[0]);
  checkResidentStage(stage);
  // 4.
  ResidentState* state = residentState();
  if (state == nullptr) fail("profile_resident_required");
  std::string line = residentStageLine(stage, ceilingTimes(state->clock, GetTickCount64()));
  // 5.
  auto job = newJob<DiagnosticWriteJob>(JobKind::kAppendDiagnostic);
  job->diagnosticLog.reset(
      new DiagnosticWrite(residentLogOwner(*state), profileLogHome(), std::move(line)));
  return queueJob(env, std::move(job));
}

napi_value endResident(napi_env env, napi_callback_info info) {
  // 1. to 6.
  try {
    fetchArguments(env, info, 0);
  } catch (...) {
    setPoisoned();
    throw;
  }
  endResidentState();
  // 7.
  return makeBoolean(env, true);
}

}  // namespace nuvra
