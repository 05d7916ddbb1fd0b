// The promise-job hub. Every JavaScript function that has to block builds a
// NativeJob, and queueJob runs it: the execute step on a Node worker thread,
// the completion step back on the JavaScript thread, where the promise is
// settled. One queue routine, one execute step and one completion step serve
// all kinds; each kind plugs in its routines through a JobHandler entry in
// the table the module file defines, and its data through its own job type.
//
// A job moves through: built (owned by the JavaScript callback) -> queued
// (owned by the async work) -> executed -> completed -> destroyed. A job that
// fails to queue is destroyed by queueJob and never runs.
#pragma once

#include <node_api.h>

#include <memory>
#include <string>

#include "addon/job_kind.h"

namespace nuvra {

// The part of a job the hub knows. A kind's own inputs and results live in
// a type its subsystem derives from this one, built by newJob<Type>(kind);
// the kind's handlers downcast with jobAs<Type>.
struct NativeJob {
  explicit NativeJob(JobKind jobKind) : kind(jobKind) {}
  NativeJob(const NativeJob&) = delete;
  NativeJob& operator=(const NativeJob&) = delete;
  // Destroying a job releases what its kind still owns (a launched child, an
  // open log writer) through the owners' own cleanups.
  virtual ~NativeJob() = default;

  JobKind kind;
  napi_async_work asyncWork = nullptr;
  napi_deferred deferred = nullptr;
  // The execute step's outcome: empty on success, else the reason code.
  std::string error;
};

template <typename Job>
Job& jobAs(NativeJob& job) noexcept {
  return static_cast<Job&>(job);
}

// What a kind contributes to the hub. `execute` and `value` are required; the
// optional hooks are null for kinds that have nothing to do at that point.
struct JobHandler {
  // Worker thread: the kind's work. Throws a reason code; never calls Node-API.
  void (*execute)(NativeJob& job);
  // JavaScript thread: the promise value of a job whose execute step
  // succeeded. Throws a reason code. The builders of kinds 0, 1, 4, 5, 6 and
  // 13 begin with the owner check (the resident check when job.resident,
  // else the work validity check); kinds 9 and 10 with the startup deadline
  // check; only these builders add entries to `works` and `children`.
  napi_value (*value)(napi_env env, NativeJob& job);
  // Worker thread, after a failed execute step, with job.error set
  // (publication failure handling, kind 14).
  void (*executeFailed)(NativeJob& job) noexcept;
  // Worker thread, after every execute step (the diagnostic log writer of
  // kinds 8 and 15 is closed here). May replace job.error.
  void (*executeFinished)(NativeJob& job) noexcept;
  // JavaScript thread, first thing at completion and when queueing fails,
  // with whether the job succeeded (the end-of-work notice of kind 2).
  void (*settling)(NativeJob& job, bool succeeded) noexcept;
  // JavaScript thread, before a completed job's promise is rejected and
  // after a job failed to queue.
  void (*rejected)(napi_env env, NativeJob& job) noexcept;
};

// The handlers by kind, defined where the module wires its subsystems
// together; a kind without a creator stays null and never reaches the hub.
extern const JobHandler* const kJobHandlers[kJobKindCount];
// Steps that run for every job after its kind's own (optional hooks only;
// `execute` and `value` stay null): the seam through which a subsystem acts
// on whatever a job of any kind carries for it.
extern const JobHandler kEveryJob;

// Reserves room for the reason so that storing it after a failure does not
// allocate inside the failure path.
void prepareJob(NativeJob& job);

// A fresh job record of `Job` (derived from NativeJob): the one heap
// allocation of a job.
template <typename Job>
std::unique_ptr<Job> newJob(JobKind kind) {
  auto job = std::make_unique<Job>(kind);
  prepareJob(*job);
  return job;
}

// Queues `job` and returns its promise; the job belongs to the hub from the
// call on, whether queueing succeeds or not. Queueing failures throw
// "profile_native_api" or "profile_queue_failed" after the job is destroyed.
napi_value queueJob(napi_env env, std::unique_ptr<NativeJob> job);

}  // namespace nuvra
