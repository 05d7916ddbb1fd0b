// The JavaScript face of diagnostic events (`newDiagnosticEvent`,
// `appendIngressDiagnostic`, `closeDiagnosticEvent`) and the promise-job
// handler of diagnostic writes (job kind 8), which every owner of a write
// (an event, a work, the resident host) queues.
#pragma once

#include <node_api.h>

#include "addon/jobs_napi.h"
#include "diagnostics/log_writer_fwd.h"

namespace nuvra {

napi_value newDiagnosticEvent(napi_env env, napi_callback_info info);
napi_value appendIngressDiagnostic(napi_env env, napi_callback_info info);
napi_value closeDiagnosticEvent(napi_env env, napi_callback_info info);

// A job of kind 8: one write of one owner, cleaned up after its execute step
// (or when the job is destroyed unrun).
struct DiagnosticWriteJob : NativeJob {
  using NativeJob::NativeJob;
  DiagnosticLogPointer diagnosticLog;
};

// Kind 8: runs the job's DiagnosticWrite, resolves with true. The cleanup
// runs after every execute step; a cleanup that cannot finish turns the
// reason into "profile_diagnostic_cleanup_uncertain".
extern const JobHandler kDiagnosticWriteJob;

}  // namespace nuvra
