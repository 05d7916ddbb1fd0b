// The JavaScript face of works: `beginWork`, `endWork`, `checkWorkBinding`
// and `appendDiagnostic`, the work lookup every entry that takes a work id
// uses, the promise-job handlers of the open, end and binding-check jobs, the
// environment's budget tokens, and the seam through which the subsystems
// bound to a work take part in its end.
#pragma once

#include <node_api.h>

#include <cstdint>
#include <memory>
#include <string>

#include "addon/addon_state.h"
#include "addon/jobs_napi.h"
#include "common/seam.h"
#include "work/budget.h"

namespace nuvra {

struct Work;
struct Prepared;
class LogOwner;

napi_value beginWork(napi_env env, napi_callback_info info);
napi_value endWork(napi_env env, napi_callback_info info);
napi_value checkWorkBinding(napi_env env, napi_callback_info info);
napi_value appendDiagnostic(napi_env env, napi_callback_info info);
napi_value observeBroker(napi_env env, napi_callback_info info);

// Jobs of kinds 0 (open), 2 (end) and 4 (binding check).
struct WorkJob : NativeJob {
  using NativeJob::NativeJob;
  std::shared_ptr<Work> work;
  // End job: the account binding the work held, revoked by the job.
  std::shared_ptr<Prepared> account;
  // End job: endWork could not set the work's account signal, so the worker
  // cannot be told; the job closes the work and fails instead of revoking.
  bool signalFailed = false;
  // End job: the execute step closed the work marker, so the work leaves
  // `works` whatever the outcome; nothing could end it a second time.
  bool closed = false;
  // Binding check: the executable the work means to run.
  std::wstring applicationPath;
};

// The one work lookup of every entry that takes a work id. The id must be a
// string ("profile_string") of canonical decimal text ("profile_integer", or
// the standard library's message above 2^64-1); the work it names must be in
// `works` and belong to the calling environment, else "profile_work_required".
std::shared_ptr<Work> lookupWork(napi_env env, napi_value workId);

// Whether `works` holds no work of any environment (publication refuses
// while one is live). The caller holds processLock.
bool worksTableEmpty() noexcept;

// Handlers of job kinds 0 (open), 2 (end) and 4 (binding check).
extern const JobHandler kOpenWorkJob;
extern const JobHandler kEndWorkJob;
extern const JobHandler kCheckWorkBindingJob;
// Handler of job kinds 5 (observeBroker "identity") and 6 ("residency").
extern const JobHandler kObserveBrokerJob;

// Budget tokens handed out by prepareBrokerBudget, each consumed by one
// beginWork. JavaScript thread only.
struct BudgetPart : EnvironmentPart {
  BudgetMap budgets;
};

// Keeps `work` alive until the process exits: a subsystem bound to it could
// not finish its cleanup.
void retainWork(std::shared_ptr<Work> work) noexcept;

// Finaliser: every work of the environment is ended and leaves `works`. A
// work that still holds an adopted account worker poisons the addon and is
// retained until the process exits.
void endEnvironmentWorks(AddonState& state) noexcept;
// Finaliser: the environment's unused budget tokens go.
void releaseEnvironmentBudgets(AddonState& state) noexcept;

// Completes `object` as the runtime object: "expected_role"
// "managed_runtime", then "home", "codeRoot", "generation", "payload_digest"
// and "native_sha256" as initialize recorded them. Returns `object`.
napi_value completeRuntimeObject(napi_env env, napi_value object);

// The steps of a work's end that belong to the subsystems bound to it. Unset
// steps do nothing.
struct WorkEndHooks {
  // endWork, JavaScript thread, before the work goes inactive: a linked
  // terminal operation learns that the work ended.
  void (*ending)(Work& work) noexcept = nullptr;
  // End job, worker thread, before the marker closes: revokes the account
  // binding the job carries. Throws its reason.
  void (*revoke)(WorkJob& job) = nullptr;
  // End job, worker thread, after the marker closed, for a work whose
  // account-worker revoke completed. Throws its reason.
  void (*residentEnd)(Work& work) = nullptr;
  // End job's completion, JavaScript thread: whether the end succeeded.
  // Returns the reason a succeeded end must still fail with (its outcome
  // could not be recorded), else null; the work leaves the table either way.
  const char* (*ended)(Work& work, bool succeeded) noexcept = nullptr;
};
Seam<WorkEndHooks>& workEndHooks();

}  // namespace nuvra
