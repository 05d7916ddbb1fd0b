#include "work/work_napi.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "common/fault_injection.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "diagnostics/event.h"
#include "work/budget.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

// The process-wide tables of works, guarded by processLock and never
// destroyed: the live works by id, the id counter, and the works whose
// cleanup could not finish, kept alive until the process exits.
struct WorkTables {
  std::map<std::uint64_t, std::shared_ptr<Work>> works;
  WorkIdCounter ids;
  std::vector<std::shared_ptr<Work>> retained;
};
WorkTables& workTables() {
  static WorkTables* const tables = new WorkTables();
  return *tables;
}

// The budget token of beginWork's fifth argument. The external's data is the
// token number itself, never a pointer.
std::uint64_t budgetTokenOf(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  if (type != napi_external) fail("profile_budget_class");
  void* data = nullptr;
  napiCheck(napi_get_value_external(env, value, &data));
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(data));
}

// 5. The remaining budget the caller's function reports.
double budgetFrom(napi_env env, napi_value function) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, function, &type));
  if (type != napi_function) fail("profile_budget_required");
  napi_value receiver = nullptr;
  napiCheck(napi_get_undefined(env, &receiver));
  napi_value result = nullptr;
  // A throwing budget function leaves its exception pending; it reaches the
  // caller in place of our reason.
  napiCheck(napi_call_function(env, receiver, function, 0, nullptr, &result));
  napiCheck(napi_typeof(env, result, &type));
  if (type != napi_number) fail("profile_budget_required");
  double budget = 0;
  napiCheck(napi_get_value_double(env, result, &budget));
  return budget;
}

// 8. Work needs custody: an initialized profile whose startup was
// acknowledged (the work marker handed back, the acknowledgement sent).
void requireCustody(const StartupProfile& profile) {
  if (!profile.initialized || profile.workMarker != nullptr || profile.startupAck || isPoisoned()) {
    fail("profile_custody_required");
  }
}

// 9. Binds a live, unbound event of this environment to the work. Any other
// event leaves the work diagnostic-unbound, which only its later diagnostics
// notice. Caller holds processLock.
void bindDiagnosticEvent(Work& work, const std::string& token) {
  work.diagnosticUnbound.store(true);
  const std::shared_ptr<DiagnosticEvent> event = findDiagnosticEvent(token);
  if (!event) return;
  if (event->ownerEnvironment != work.environmentId || event->closed.load() ||
      event->bound.load()) {
    return;
  }
  if (work.timing.deadline < event->deadline.load()) event->deadline.store(work.timing.deadline);
  event->boundWorkId.store(work.id);
  event->bound.store(true);
  {
    std::lock_guard<std::mutex> binding(work.bindingLock);
    work.diagnosticEvent = event;
  }
  work.diagnosticUnbound.store(false);
}

// Caller holds processLock. Only the work the event is bound to releases it:
// a second end of the same work may complete after the event was bound anew.
void releaseDiagnosticBinding(Work& work) noexcept {
  std::lock_guard<std::mutex> binding(work.bindingLock);
  const std::shared_ptr<DiagnosticEvent>& event = work.diagnosticEvent;
  if (event && event->boundWorkId.load() == work.id) event->bound.store(false);
}

// ---- Kind 0: open ---------------------------------------------------------

void executeOpen(NativeJob& job) {
  openWork(*jobAs<WorkJob>(job).work);
}

// A work whose open failed never enters `works`: the event it bound is free
// again, or it would stay bound to a work nobody can name.
void openSettling(NativeJob& base, bool succeeded) noexcept {
  WorkJob& job = jobAs<WorkJob>(base);
  if (succeeded || !job.work) return;
  std::lock_guard<std::mutex> lock(processState().processLock);
  releaseDiagnosticBinding(*job.work);
}

napi_value openValue(napi_env env, NativeJob& base) {
  WorkJob& job = jobAs<WorkJob>(base);
  // The open itself succeeded, but the work may have run out of time while
  // the completion waited for this thread; it is then refused like a failed
  // open, its event included.
  // The value is built before the work enters `works`: once it is there,
  // nothing may fail, or a rejected promise would leave a work holding the
  // marker that nobody can name or end.
  napi_value value = nullptr;
  try {
    checkWorkValidity(*job.work);
    value = makeString(env, formatDecimal64(job.work->id));
    std::lock_guard<std::mutex> lock(processState().processLock);
    // An existing entry stays as it is.
    workTables().works.emplace(job.work->id, job.work);
  } catch (...) {
    openSettling(base, false);
    throw;
  }
  return value;
}

// ---- Kind 2: end ----------------------------------------------------------

void executeEnd(NativeJob& base) {
  WorkJob& job = jobAs<WorkJob>(base);
  const WorkEndHooks& hooks = workEndHooks().hooks();
  Work& work = *job.work;
  if (job.signalFailed) {
    // The worker cannot learn through its event that the work is gone. The
    // work still lets go of its marker and its event, and the failure tears
    // the worker down through the hub, so nothing is left acting for it.
    job.closed = true;
    closeWork(work);
    {
      std::lock_guard<std::mutex> binding(work.bindingLock);
      work.accountSignal.closeQuietly();
    }
    fail("profile_account_revoke");
  }
  // The account binding handed over with the job is revoked first.
  if (job.account && hooks.revoke != nullptr) hooks.revoke(job);
  job.closed = true;
  closeWork(work);
  // A work the account worker gave back validates a pending resident.
  bool revoked = false;
  {
    std::lock_guard<std::mutex> binding(work.bindingLock);
    revoked = work.accountRevoked;
  }
  if (revoked && hooks.residentEnd != nullptr) hooks.residentEnd(work);
}

// The ended work leaves `works` and frees its diagnostic event.
void removeEndedWork(const std::shared_ptr<Work>& work) noexcept {
  std::lock_guard<std::mutex> lock(processState().processLock);
  auto& works = workTables().works;
  const auto found = works.find(work->id);
  if (found != works.end() && found->second == work) works.erase(found);
  releaseDiagnosticBinding(*work);
}

napi_value endValue(napi_env env, NativeJob& base) {
  removeEndedWork(jobAs<WorkJob>(base).work);
  return makeBoolean(env, true);
}

// The work's linked prepared terminal operation learns that the work
// ended, cleanly only when `succeeded`. An end whose outcome it refuses is
// still an end: the work leaves the table and its event is free, so nothing
// leaks, and the promise rejects with the reason.
void endSettling(NativeJob& base, bool succeeded) noexcept {
  WorkJob& job = jobAs<WorkJob>(base);
  if (!job.work) return;
  // A failed end that got as far as the marker has nothing left to end.
  if (!succeeded && job.closed) removeEndedWork(job.work);
  const auto ended = workEndHooks().hooks().ended;
  if (ended == nullptr) return;
  const char* refused = ended(*job.work, succeeded);
  if (!succeeded || refused == nullptr) return;
  removeEndedWork(job.work);
  // The reserved reason capacity takes this without allocating.
  job.error = refused;
}

// ---- Kind 4: binding check ------------------------------------------------

void executeCheckBinding(NativeJob& base) {
  WorkJob& job = jobAs<WorkJob>(base);
  Work& work = *job.work;
  const NativeTargetSnapshot snapshot = nativeTargetSnapshot();
  // The work must stay open throughout: its lock keeps the end job from
  // closing the marker in between, and the owner check runs before every
  // guard and record.
  std::lock_guard<std::mutex> lock(work.lock);
  const auto ownerCheck = [&work] {
    if (!work.workRecord) fail("profile_work_ended");
    checkWorkValidity(work);
  };
  ownerCheck();
  checkNativeTarget(snapshot, job.applicationPath, ownerCheck);
}

napi_value checkBindingValue(napi_env env, NativeJob& job) {
  checkWorkValidity(*jobAs<WorkJob>(job).work);
  return completeRuntimeObject(env, makeObject(env));
}

}  // namespace

const JobHandler kOpenWorkJob{executeOpen, openValue, nullptr, nullptr, openSettling, nullptr};
const JobHandler kEndWorkJob{executeEnd, endValue, nullptr, nullptr, endSettling, nullptr};
const JobHandler kCheckWorkBindingJob{
    executeCheckBinding, checkBindingValue, nullptr, nullptr, nullptr, nullptr};

Seam<WorkEndHooks>& workEndHooks() {
  static Seam<WorkEndHooks> seam;
  return seam;
}

std::shared_ptr<Work> lookupWork(napi_env env, napi_value workId) {
  const AddonState& state = addonStateOf(env);
  // The id is decimal text by the one rule every decimal follows, and its
  // own reasons leave as they are; only a well-formed id that names no work
  // of this environment is "profile_work_required".
  const std::uint64_t id = parseDecimal64(readUtf8Argument(env, workId));
  std::lock_guard<std::mutex> lock(processState().processLock);
  const auto& works = workTables().works;
  const auto found = works.find(id);
  if (found == works.end() || found->second->environmentId != state.environmentId) {
    fail("profile_work_required");
  }
  return found->second;
}

bool worksTableEmpty() noexcept {
  return workTables().works.empty();
}

napi_value beginWork(napi_env env, napi_callback_info info) {
  // 1. Start tick, then the arguments.
  const std::uint64_t start = GetTickCount64();
  const Arguments arguments = fetchOptionalArguments(env, info, 5);
  AddonState& state = addonStateOf(env);
  // 2. A budget token is used up here, whatever happens afterwards.
  std::optional<BudgetTerms> token;
  if (arguments.count == 5) {
    token = takeBudgetToken(environmentPart<BudgetPart>(state).budgets,
                            budgetTokenOf(env, arguments[4]));
    if (!(start < token->deadline)) fail("profile_startup_timeout");
  }
  // 3. Role and operation.
  const std::string role =
      arguments.count >= 3 ? readUtf8Argument(env, arguments[2]) : std::string("unbound_local");
  const std::string operation =
      arguments.count >= 4 ? readUtf8Argument(env, arguments[3]) : std::string("-");
  WorkPurpose purpose = checkWorkPurpose(role, operation);
  // 4. A token opens only the client work it was prepared for.
  if (token) checkTokenPurpose(*token, purpose);
  // 5. Budget.
  const double budget =
      arguments.count >= 1 ? budgetFrom(env, arguments[0]) : static_cast<double>(kWarmBudgetMs);
  // 6. Deadline.
  const bool cold = token && token->cold;
  const std::uint64_t deadline =
      workDeadline(start, budget, cold, token ? &*token : nullptr, GetTickCount64());
  // 7. The open job and the work (counted against the live limit).
  auto job = newJob<WorkJob>(JobKind::kBeginWork);
  auto work = std::make_shared<Work>(state.environmentId, WorkTiming{start, deadline, cold},
                                     std::move(purpose));
  // 8. Custody, then the id.
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    requireCustody(startupProfile());
    work->id = workTables().ids.take();
  }
  // 9. Diagnostic binding.
  if (arguments.count >= 2) {
    const std::string eventToken = readUtf8Argument(env, arguments[1]);
    if (eventToken != "-") {
      std::lock_guard<std::mutex> lock(processState().processLock);
      bindDiagnosticEvent(*work, eventToken);
    }
  }
  // 10. Queue.
  job->work = std::move(work);
  return queueJob(env, std::move(job));
}

napi_value endWork(napi_env env, napi_callback_info info) {
  // 1.
  const Arguments arguments = fetchArguments(env, info, 1);
  std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  // 2. A linked prepared terminal operation that still exists is marked as
  //    ended by the work, with the current tick.
  if (const auto ending = workEndHooks().hooks().ending) ending(*work);
  // 3. No native step of the work starts from here on.
  work->active.store(false);
  auto job = newJob<WorkJob>(JobKind::kEndWork);
  {
    // 4. The account binding travels with the end job, which revokes it.
    //    Only the leaf lock: the work's own lock may be held by a write
    //    that waits for another process. A signal that cannot be set is
    //    "profile_account_revoke", reported by the job: thrown here, it
    //    would leave the work open and bound with nothing left to end it.
    std::lock_guard<std::mutex> lock(work->bindingLock);
    job->signalFailed = work->accountSignal && !NUVRA_INJECT("work.end_signal", FALSE,
                                                             SetEvent(work->accountSignal.get()));
    job->account = std::move(work->accountBinding);
  }
  job->work = std::move(work);
  return queueJob(env, std::move(job));
}

napi_value checkWorkBinding(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 2);
  std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  checkWorkValidity(*work);
  auto job = newJob<WorkJob>(JobKind::kCheckWorkBinding);
  job->applicationPath = utf8ToUtf16(readUtf8Argument(env, arguments[1]));
  job->work = std::move(work);
  return queueJob(env, std::move(job));
}

void retainWork(std::shared_ptr<Work> work) noexcept {
  std::lock_guard<std::mutex> lock(processState().processLock);
  workTables().retained.push_back(std::move(work));
}

namespace {

void endEnvironmentWorksOf(std::uint64_t environmentId) {
  ProcessState& process = processState();
  auto& works = workTables().works;
  // Taken out of the table under processLock first; the bindings are
  // handled afterwards under each work's leaf lock.
  std::vector<std::shared_ptr<Work>> ended;
  {
    std::lock_guard<std::mutex> lock(process.processLock);
    for (auto entry = works.begin(); entry != works.end();) {
      if (entry->second->environmentId != environmentId) {
        ++entry;
        continue;
      }
      entry->second->active.store(false);
      ended.push_back(entry->second);
      entry = works.erase(entry);
    }
  }
  for (const std::shared_ptr<Work>& work : ended) {
    {
      std::lock_guard<std::mutex> binding(work->bindingLock);
      if (work->accountSignal) SetEvent(work->accountSignal.get());
      if (!work->accountBinding) continue;
      work->accountBinding.reset();
    }
    // The account worker may still act for this work; nothing can end it
    // safely now, so the process refuses new work and keeps the work alive.
    setPoisoned();
    std::lock_guard<std::mutex> lock(process.processLock);
    workTables().retained.push_back(work);
  }
}

}  // namespace

void endEnvironmentWorks(AddonState& state) noexcept {
  // A finaliser step must not throw; a failed allocation leaves the works'
  // cleanup uncertain, which poisons.
  try {
    endEnvironmentWorksOf(state.environmentId);
  } catch (...) {
    setPoisoned();
  }
}

void releaseEnvironmentBudgets(AddonState& state) noexcept {
  if (BudgetPart* part = existingEnvironmentPart<BudgetPart>(state)) part->budgets.clear();
}

napi_value completeRuntimeObject(napi_env env, napi_value object) {
  std::string home, root, generation, digest, nativeSha256;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    const StartupProfile& profile = startupProfile();
    if (!profile.initialized) fail("profile_custody_required");
    home = utf16ToUtf8(profile.home);
    root = utf16ToUtf8(profile.root);
    generation = profile.generation;
    digest = profile.payloadDigest;
    nativeSha256 = profile.nativeSha256;
  }
  setProperty(env, object, "expected_role", makeString(env, "managed_runtime"));
  setProperty(env, object, "home", makeString(env, home));
  setProperty(env, object, "codeRoot", makeString(env, root));
  setProperty(env, object, "generation", makeString(env, generation));
  setProperty(env, object, "payload_digest", makeString(env, digest));
  setProperty(env, object, "native_sha256", makeString(env, nativeSha256));
  return object;
}

}  // namespace nuvra
