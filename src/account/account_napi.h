// The JavaScript face of the account worker: `prepareAccountWorker`,
// `readyAccountWorker`, `adoptAccountWorker` and `releaseAccountWorker`, the
// handlers of job kinds 9 to 12, the environment's worker slot, and what the
// module wires into the seams of the layers below: the account condition of
// finishStartup, the revoke of an ending work, the worker as a child id, and
// the job hub's failure handling and busy flag for any job that carries the
// worker.
#pragma once

#include <node_api.h>

#include <cstdint>
#include <memory>

#include "account/account_win.h"
#include "addon/addon_state.h"
#include "addon/jobs_napi.h"
#include "common/seam.h"
#include "launch/child_slot.h"
#include "launch/launch_win.h"

namespace nuvra {

struct Work;
struct WorkJob;

napi_value prepareAccountWorker(napi_env env, napi_callback_info info);
napi_value readyAccountWorker(napi_env env, napi_callback_info info);
napi_value adoptAccountWorker(napi_env env, napi_callback_info info);
napi_value releaseAccountWorker(napi_env env, napi_callback_info info);

// The environment's worker, from preparation until `dispose` takes it or a
// failed job that carried it empties the slot. JavaScript thread only.
struct AccountPart : EnvironmentPart {
  std::shared_ptr<Prepared> worker;
};

// Jobs of kinds 9 (prepare), 10 (ready), 11 (adopt) and 12 (release).
struct AccountJob : NativeJob {
  using NativeJob::NativeJob;
  std::shared_ptr<Prepared> account;
  // Adopt and release: the work lent or taken back.
  std::shared_ptr<Work> work;
  bool resident = false;
  // Prepare: what to start.
  LaunchRequest request;
};

extern const JobHandler kPrepareAccountJob;
extern const JobHandler kReadyAccountJob;
extern const JobHandler kAdoptAccountJob;
extern const JobHandler kReleaseAccountJob;

// The child ids the worker shares with managed children, so that the two
// never collide. Unset: no id can be taken ("profile_child_id").
struct AccountHooks {
  // Takes the environment's next child id and advances the counter; 0 when
  // the counter has wrapped.
  std::uint32_t (*takeChildId)(AddonState& state) = nullptr;
};
Seam<AccountHooks>& accountHooks();

// What a job of any kind carries for the worker; the module reads it off
// each kind's own job type.
struct AccountCarriage {
  Prepared* worker = nullptr;
  const std::shared_ptr<Work>* work = nullptr;
  // Kinds 10 and 11 set the busy flag, and publication (14) when it took
  // it; only they clear it.
  bool setsBusy = false;
};

// The hub's steps for a job that carries the worker: teardown after a failed
// execute step; the busy flag after every execute step; teardown and the
// emptied slot before a rejection (also when the job failed to queue).
void accountJobFailed(const AccountCarriage& carried) noexcept;
void accountJobFinished(const AccountCarriage& carried) noexcept;
void accountJobRejected(napi_env env, const AccountCarriage& carried) noexcept;

// teardownAccount: poisons the process, stops and terminates the worker with
// exit code 70, and for a job that carried a work signals the work's event,
// drops its binding and keeps the work alive until the process exits.
void teardownAccount(Prepared& worker, const std::shared_ptr<Work>& work) noexcept;

// finishStartup: whether this environment's worker exists and is ready.
bool accountWorkerReady(const AddonState& state);
// The end job: the revoke exchange of the binding the job carries, then, in
// resident mode, the validated flag for a work whose revoke completed.
void revokeEndingWork(WorkJob& job);
// The worker as a child id for write, end, poll and kill; and for dispose,
// which takes it unless it is busy or holds a work ("profile_account_busy").
ChildProcess* findAccountChild(AddonState& state, std::uint32_t id);
ChildSlot takeAccountChild(AddonState& state, std::uint32_t id);

// Finaliser: a worker still in the slot is stopped and the process poisoned
// (nothing can vouch for what it was doing).
void releaseEnvironmentAccount(AddonState& state) noexcept;

}  // namespace nuvra
