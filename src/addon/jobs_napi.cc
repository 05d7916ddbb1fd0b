#include "addon/jobs_napi.h"

#include <cstring>
#include <exception>
#include <string_view>

#include "addon/frame_napi.h"
#include "children/children_napi.h"
#include "common/reason.h"
#include "diagnostics/events_napi.h"
#include "work/work_napi.h"

namespace nuvra {
namespace {

constexpr char kResourceName[] = "nuvra_profile_native_work";
static_assert(sizeof(kResourceName) - 1 == 25);

// Room reserved for the reason code up front, so that storing it after a
// failure does not allocate inside the failure path.
constexpr std::size_t kReasonCapacity = 64;

// The kinds' handlers in kind order. A subsystem defines its kind's handler
// next to its execute routine and puts its address here; a kind without a
// creator stays null and never reaches the hub.
const JobHandler* const kHandlers[kJobKindCount] = {
    &kOpenWorkJob,  // 0  beginWork
    &kSpawnChildJob,  // 1  spawnAsync
    &kEndWorkJob,  // 2  endWork
    &kDisposeChildJob,  // 3  dispose
    &kCheckWorkBindingJob,  // 4  checkWorkBinding
    nullptr,  // 5  observeBroker, purpose "identity"
    nullptr,  // 6  observeBroker, other purposes; observeResident
    nullptr,  // 7  exchange, exchangePhase
    &kDiagnosticWriteJob,  // 8  appendDiagnostic, appendIngressDiagnostic,
                           //    residentCheckpoint
    nullptr,  // 9  prepareAccountWorker
    nullptr,  // 10 readyAccountWorker
    nullptr,  // 11 adoptAccountWorker
    nullptr,  // 12 releaseAccountWorker
    nullptr,  // 13 spawnResidentHost
    nullptr,  // 14 publishResident
    nullptr,  // 15 prepareTerminal
    nullptr,  // 16 commitTerminal
};

const JobHandler* handlerOf(JobKind kind) noexcept {
  const auto index = static_cast<std::int32_t>(kind);
  if (!isJobKind(index)) return nullptr;
  const JobHandler* handler = kHandlers[index];
  if (handler == nullptr || handler->execute == nullptr || handler->value == nullptr) {
    return nullptr;
  }
  return handler;
}

// Stores the reason of a failed execute step without allocating. A failure
// whose message is empty must still read as a failure.
void storeError(NativeJob& job, const char* reason) noexcept {
  std::size_t length = reason == nullptr ? 0 : std::strlen(reason);
  if (length == 0) {
    reason = "profile_native_api";
    length = std::strlen(reason);
  }
  job.error.assign(reason, length < kReasonCapacity ? length : kReasonCapacity);
}

// A failed JSON.parse or a throwing getter leaves an engine exception
// pending. Left there, it would surface as an uncaught exception once the
// completion step returns, and it would make every later Node-API call of
// this step fail; the promise carries the failure instead. True when one was
// pending.
bool clearPendingException(napi_env env) noexcept {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) == napi_ok && pending) {
    napi_value ignored = nullptr;
    napi_get_and_clear_last_exception(env, &ignored);
  }
  return pending;
}

void rejectWith(napi_env env, NativeJob& job, std::string_view reason) noexcept {
  // Extension point (account worker): a job that carries an account worker
  // runs the account-worker failure handling here and empties the
  // AddonState account-worker slot when it holds that same worker.
  napi_value message = nullptr;
  napi_value error = nullptr;
  if (napi_create_string_utf8(env, reason.data(), reason.size(), &message) != napi_ok ||
      napi_create_error(env, nullptr, message, &error) != napi_ok) {
    // Only a dying environment refuses these; its promises die with it.
    return;
  }
  napi_reject_deferred(env, job.deferred, error);
}

// Worker thread. Never touches JavaScript values.
void executeJob(napi_env, void* data) {
  NativeJob& job = *static_cast<NativeJob*>(data);
  // queueJob admits only kinds with a handler.
  const JobHandler* const found = handlerOf(job.kind);
  if (found == nullptr) {
    storeError(job, "profile_native_api");
    return;
  }
  const JobHandler& handler = *found;
  // 1. The kind's routine.
  try {
    handler.execute(job);
  } catch (const std::exception& failure) {
    // 2. Keep the reason; the kind and the account worker react to it.
    storeError(job, failure.what());
    if (handler.executeFailed != nullptr) handler.executeFailed(job);
    // Extension point (account worker): a job that carries an account worker
    // runs the account-worker failure handling here. The completion step
    // runs it once more when it rejects; the handling tolerates that.
  }
  // 3. Extension point (account worker): a job that carries an account
  //    worker clears that worker's busy flag here, in every case.
  // 4. Kinds 8 and 15 close their diagnostic log writer.
  if (handler.executeFinished != nullptr) handler.executeFinished(job);
}

// JavaScript thread.
void completeJob(napi_env env, napi_status status, void* data) {
  std::unique_ptr<NativeJob> job(static_cast<NativeJob*>(data));
  const JobHandler* const handler = handlerOf(job->kind);
  const bool completedByNode = status == napi_ok;
  // 1. The end-of-work notice (kind 2) learns the outcome first.
  if (handler != nullptr && handler->settling != nullptr) {
    handler->settling(*job, completedByNode && job->error.empty());
  }
  // 2, 3. Cancellation, then the execute step's own reason.
  std::string reason(settlementFailure(completedByNode, job->error));
  // 4. The value by kind.
  napi_value value = nullptr;
  if (reason.empty()) {
    try {
      if (handler == nullptr) fail("profile_native_api");
      value = handler->value(env, *job);
      // A value builder that returned with an engine exception pending
      // failed too; resolving would be refused with the deferred untouched.
      if (value == nullptr || clearPendingException(env)) fail("profile_native_api");
    } catch (const std::exception& failure) {
      clearPendingException(env);
      reason = failure.what();
      if (reason.empty()) reason = "profile_native_api";
    }
  }
  if (reason.empty()) {
    // 5. Resolve. Node-API releases the deferred inside a resolve that got
    //    as far as the promise, even when resolving then fails, so a failed
    //    resolve is not followed by a reject of the same deferred.
    if (napi_resolve_deferred(env, job->deferred, value) != napi_ok) clearPendingException(env);
  } else {
    // 6. Reject with an Error whose message is the reason.
    rejectWith(env, *job, reason);
  }
  // 7. The async work goes; the job is destroyed on return.
  napi_delete_async_work(env, job->asyncWork);
  job->asyncWork = nullptr;
}

}  // namespace

std::unique_ptr<NativeJob> newJob(JobKind kind) {
  auto job = std::make_unique<NativeJob>(kind);
  job->error.reserve(kReasonCapacity);
  return job;
}

napi_value queueJob(napi_env env, std::unique_ptr<NativeJob> job) {
  // A kind without a handler has no creator; reaching here is a defect of
  // the caller and nothing has been created yet.
  const JobHandler* handler = handlerOf(job->kind);
  if (handler == nullptr) fail("profile_native_api");
  const char* reason = nullptr;
  napi_value promise = nullptr;
  napi_value name = nullptr;
  // 1. The promise.
  if (napi_create_promise(env, &job->deferred, &promise) != napi_ok) {
    reason = "profile_native_api";
  }
  // 2. The resource name.
  else if (napi_create_string_utf8(env, kResourceName, sizeof(kResourceName) - 1, &name) !=
           napi_ok) {
    reason = "profile_native_api";
  }
  // 3. The async work, with the job as its data.
  else if (napi_create_async_work(env, nullptr, name, executeJob, completeJob, job.get(),
                                  &job->asyncWork) != napi_ok) {
    reason = "profile_native_api";
  }
  // 4. Queue it.
  else if (napi_queue_async_work(env, job->asyncWork) != napi_ok) {
    reason = "profile_queue_failed";
  }
  if (reason == nullptr) {
    // 5. The job belongs to the async work now.
    job.release();
    return promise;
  }
  // The job never runs. The promise was never handed out, so it is left
  // unsettled: rejecting it would raise an unhandled rejection.
  if (handler->settling != nullptr) handler->settling(*job, false);
  if (job->asyncWork != nullptr) {
    napi_delete_async_work(env, job->asyncWork);
    job->asyncWork = nullptr;
  }
  // Extension point (account worker): if the job carries an account worker,
  // or else its work still holds an adopted one (taken from the work under
  // the work's lock), the account-worker failure handling runs here and the
  // AddonState account-worker slot is emptied when it holds that worker.
  job.reset();
  fail(reason);
}

}  // namespace nuvra
