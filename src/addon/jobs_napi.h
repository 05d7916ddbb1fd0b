// The promise-job hub. Every JavaScript function that has to block builds a
// NativeJob, and queueJob runs it: the execute step on a Node worker thread,
// the completion step back on the JavaScript thread, where the promise is
// settled. One record type, one queue routine, one execute step and one
// completion step serve all kinds; each kind plugs in its routines through a
// JobHandler entry in the table in jobs_napi.cc.
//
// A job moves through: built (owned by the JavaScript callback) -> queued
// (owned by the async work) -> executed -> completed -> destroyed. A job that
// fails to queue is destroyed by queueJob and never runs.
#pragma once

#include <node_api.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "addon/job_kind.h"
#include "children/child_slot.h"
#include "common/wipe.h"
#include "diagnostics/log_writer_fwd.h"

namespace nuvra {

struct Work;
struct Prepared;
struct TerminalOperation;

struct NativeJob {
  explicit NativeJob(JobKind jobKind) : kind(jobKind) {}
  NativeJob(const NativeJob&) = delete;
  NativeJob& operator=(const NativeJob&) = delete;

  JobKind kind;
  // The job runs for the resident host rather than for a work: the resident
  // check replaces the work validity check.
  bool resident = false;
  // Kind-specific input text.
  std::string text;
  // The work the job runs for; empty for jobs without one.
  std::shared_ptr<Work> work;
  // The account worker the job acts on; empty unless it acts on one.
  std::shared_ptr<Prepared> account;
  napi_async_work asyncWork = nullptr;
  napi_deferred deferred = nullptr;
  // Launch kinds: what to start. Observation kinds: the path to observe.
  std::wstring applicationPath;
  std::vector<std::wstring> arguments;
  std::map<std::wstring, std::wstring> environment;
  // Terminal-operation kinds (15, 16).
  std::shared_ptr<TerminalOperation> terminalOperation;
  // The launched child (kinds 1, 3, 13) and the diagnostic log writer
  // (kinds 8, 15) are owned here next, each by a pointer whose deleter hands
  // a still-owned object to its cleanup, so that destroying the job never
  // leaks a launched process or an open log.
  DiagnosticLogPointer diagnosticLog;
  ChildSlot child;
  //
  // The execute step's outcome: empty on success, else the reason code.
  std::string error;
  // JSON text produced by the execute step (kinds 5, 6).
  std::string resultText;
  // Kind-specific inputs named by the owning subsystems follow here (the
  // broker exchange parameters of kind 7 among them).
  //
  // The broker exchange's byte buffers, wiped before they are freed.
  WipedBytes requestBytes;
  WipedBytes responseBytes;
};

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
};

// A fresh job record: the one heap allocation of a job.
std::unique_ptr<NativeJob> newJob(JobKind kind);

// Queues `job` and returns its promise; the job belongs to the hub from the
// call on, whether queueing succeeds or not. Queueing failures throw
// "profile_native_api" or "profile_queue_failed" after the job is destroyed.
napi_value queueJob(napi_env env, std::unique_ptr<NativeJob> job);

}  // namespace nuvra
