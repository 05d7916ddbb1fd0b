#include "addon/jobs_napi.h"

#include <cstring>
#include <exception>
#include <string_view>

#include "addon/frame_napi.h"
#include "common/fault_injection.h"
#include "common/reason.h"

namespace nuvra {
namespace {

constexpr char kResourceName[] = "nuvra_profile_native_work";
static_assert(sizeof(kResourceName) - 1 == 25);

// Room reserved for the reason code up front, so that storing it after a
// failure does not allocate inside the failure path.
constexpr std::size_t kReasonCapacity = 64;

const JobHandler* handlerOf(JobKind kind) noexcept {
  const auto index = static_cast<std::int32_t>(kind);
  if (!isJobKind(index)) return nullptr;
  const JobHandler* handler = kJobHandlers[index];
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

void rejectWith(napi_env env, const JobHandler* handler, NativeJob& job,
                std::string_view reason) noexcept {
  if (handler != nullptr && handler->rejected != nullptr) handler->rejected(env, job);
  if (kEveryJob.rejected != nullptr) kEveryJob.rejected(env, job);
  NUVRA_NOTE_REASON(std::string(reason).c_str());
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
  // 1. The kind's routine. Nothing may leave a thread-pool callback: what
  //    is no reason code of ours is "profile_native_api".
  const char* failed = nullptr;
  try {
    handler.execute(job);
  } catch (const std::exception& failure) {
    failed = failure.what();
    // 2. Keep the reason; the kind and the account worker react to it.
    storeError(job, failed);
  } catch (...) {
    failed = "profile_native_api";
    storeError(job, failed);
  }
  if (failed != nullptr) {
    if (handler.executeFailed != nullptr) handler.executeFailed(job);
    if (kEveryJob.executeFailed != nullptr) kEveryJob.executeFailed(job);
  }
  // 3. What every job carries is finished with first (the account worker's
  //    busy flag), then 4. the kind's own (kinds 8 and 15 close their
  //    diagnostic log writer).
  if (kEveryJob.executeFinished != nullptr) kEveryJob.executeFinished(job);
  if (handler.executeFinished != nullptr) handler.executeFinished(job);
}

// The reason of a failed completion, copied without allocating: nothing may
// leave a completion callback, a failed allocation included.
class CompletionReason {
 public:
  void set(std::string_view reason) noexcept {
    if (reason.empty()) reason = "profile_native_api";
    length_ = reason.size() < kReasonCapacity ? reason.size() : kReasonCapacity;
    std::memcpy(text_, reason.data(), length_);
  }
  bool empty() const noexcept { return length_ == 0; }
  std::string_view view() const noexcept { return {text_, length_}; }

 private:
  char text_[kReasonCapacity] = {};
  std::size_t length_ = 0;
};

// JavaScript thread. Node calls it from C: it catches everything.
void completeJob(napi_env env, napi_status status, void* data) noexcept {
  std::unique_ptr<NativeJob> job(static_cast<NativeJob*>(data));
  const JobHandler* const handler = handlerOf(job->kind);
  const bool completedByNode = status == napi_ok;
  // 1. The end-of-work notice (kind 2) learns the outcome first.
  const bool succeeded = completedByNode && job->error.empty();
  if (handler != nullptr && handler->settling != nullptr) handler->settling(*job, succeeded);
  if (kEveryJob.settling != nullptr) kEveryJob.settling(*job, succeeded);
  // 2, 3. Cancellation, then the execute step's own reason.
  CompletionReason reason;
  const std::string_view settled = settlementFailure(completedByNode, job->error);
  if (!settled.empty()) reason.set(settled);
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
      reason.set(failure.what());
    } catch (...) {
      clearPendingException(env);
      reason.set("profile_native_api");
    }
  }
  if (reason.empty()) {
    // 5. Resolve. Node-API releases the deferred inside a resolve that got
    //    as far as the promise, even when resolving then fails, so a failed
    //    resolve is not followed by a reject of the same deferred.
    if (napi_resolve_deferred(env, job->deferred, value) != napi_ok) clearPendingException(env);
  } else {
    // 6. Reject with an Error whose message is the reason.
    rejectWith(env, handler, *job, reason.view());
  }
  // 7. The async work goes; the job is destroyed on return.
  napi_delete_async_work(env, job->asyncWork);
  job->asyncWork = nullptr;
}

}  // namespace

void prepareJob(NativeJob& job) {
  job.error.reserve(kReasonCapacity);
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
  else if (NUVRA_INJECT("jobs.queue", napi_generic_failure,
                        napi_queue_async_work(env, job->asyncWork)) != napi_ok) {
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
  if (kEveryJob.settling != nullptr) kEveryJob.settling(*job, false);
  if (job->asyncWork != nullptr) {
    napi_delete_async_work(env, job->asyncWork);
    job->asyncWork = nullptr;
  }
  if (handler->rejected != nullptr) handler->rejected(env, *job);
  if (kEveryJob.rejected != nullptr) kEveryJob.rejected(env, *job);
  job.reset();
  fail(reason);
}

}  // namespace nuvra
