// observeBroker: before the JavaScript side talks to the broker for a work,
// the addon proves the native target and this runtime, and describes the
// runtime in the broker's terms (job kinds 5, "identity", and 6,
// "residency").
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "addon/frame_napi.h"
#include "addon/json_value_napi.h"
#include "common/crypto_win.h"
#include "common/fault_injection.h"
#include "common/file_win.h"
#include "common/identity.h"
#include "common/identity_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "work/observation.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

constexpr wchar_t kNodeImage[] = L"\\runtime\\node\\node.exe";

struct ObserveJob : NativeJob {
  using NativeJob::NativeJob;
  std::shared_ptr<Work> work;
  std::wstring targetPath;
  // The observation text, kept by the job for its completion.
  std::string text;
};

// The profile's facts the observation is checked against.
struct ObservedProfile {
  std::string ownerSidHash;
  std::wstring root;
};
ObservedProfile observedProfile() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) fail("profile_custody_required");
  return {profile.ownerSidHash, profile.root};
}

void executeObserve(NativeJob& base) {
  ObserveJob& job = jobAs<ObserveJob>(base);
  Work& work = *job.work;
  const auto validity = [&work] { checkWorkValidity(work); };
  // 1. The native target is still the guarded, committed executable.
  checkNativeTarget(nativeTargetSnapshot(), job.targetPath, validity);
  // 2. The work stays open for the rest of the job.
  std::lock_guard<std::mutex> lock(work.lock);
  const auto ownerCheck = [&work] {
    if (!work.workRecord) fail("profile_work_ended");
    checkWorkValidity(work);
  };
  ownerCheck();
  const ObservedProfile profile = observedProfile();
  // 3. The same non-elevated user that started the runtime.
  const HANDLE self = GetCurrentProcess();
  const ProcessIdentity identity = readProcessIdentity(self);
  if (!meetsInteractiveUserRule(identity) ||
      sha256Hex(utf16ToUtf8(identity.user_sid)) != profile.ownerSidHash) {
    fail("profile_observation_identity");
  }
  // 4. The expected node runtime of the committed root.
  std::string image;
  try {
    image = processImagePath(self);
  } catch (const ProfileError&) {
    fail("profile_observation_image");
  }
  if (!samePathIgnoringCase(utf8ToUtf16(image), profile.root + kNodeImage)) {
    fail("profile_observation_image");
  }
  // 5.
  ownerCheck();
  // 6.
  if (job.kind == JobKind::kObserveIdentity) {
    job.text =
        identityObservation(profile.ownerSidHash, authenticationIdHash(identity.authentication_id),
                            identity.session_id);
  } else {
    BOOL inJob = FALSE;
    if (!NUVRA_INJECT("observe.in_job", FALSE, IsProcessInJob(self, nullptr, &inJob))) {
      fail("profile_observation_scope");
    }
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(self, &creation, &exit, &kernel, &user)) {
      fail("profile_observation_scope");
    }
    const std::uint64_t created =
        (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    if (created == 0) fail("profile_observation_scope");
    job.text = residencyObservation(inJob != FALSE, GetCurrentProcessId(), filetimeText(created),
                                    imagePathHash(self));
  }
  // 7.
  ownerCheck();
}

napi_value observeValue(napi_env env, NativeJob& base) {
  ObserveJob& job = jobAs<ObserveJob>(base);
  checkWorkValidity(*job.work);
  napi_value result = parseJsonValue(env, job.text);
  const char* const purpose = job.kind == JobKind::kObserveIdentity ? "identity" : "residency";
  setProperty(env, result, "purpose", makeString(env, purpose));
  return completeRuntimeObject(env, result);
}

}  // namespace

const JobHandler kObserveBrokerJob{executeObserve, observeValue, nullptr,
                                   nullptr,        nullptr,      nullptr};

napi_value observeBroker(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 5);
  // 1.
  const ObservationPurpose purpose = observationPurpose(readUtf8Argument(env, arguments[1]));
  // 2.
  std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  checkWorkValidity(*work);
  // 3.
  std::wstring targetPath = utf8ToUtf16(readUtf8Argument(env, arguments[2]));
  // 4. The profile's home, in any letter case.
  const std::wstring home = utf8ToUtf16(readUtf8Argument(env, arguments[3]));
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    const StartupProfile& profile = startupProfile();
    if (!profile.initialized || !samePathIgnoringCase(home, profile.home)) {
      fail("profile_observation_home");
    }
  }
  // 5. A number, and this process's id.
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, arguments[4], &type));
  if (type != napi_number) fail("profile_observation_pid");
  double pid = 0;
  napiCheck(napi_get_value_double(env, arguments[4], &pid));
  if (pid != static_cast<double>(GetCurrentProcessId())) fail("profile_observation_pid");
  // 6.
  auto job =
      newJob<ObserveJob>(purpose == ObservationPurpose::kIdentity ? JobKind::kObserveIdentity
                                                                  : JobKind::kObserveResidency);
  job->work = std::move(work);
  job->targetPath = std::move(targetPath);
  return queueJob(env, std::move(job));
}

}  // namespace nuvra
