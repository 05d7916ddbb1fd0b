// The JavaScript face of diagnostic events and the promise-job handler of
// diagnostic writes (job kind 8).
#pragma once

#include "addon/jobs_napi.h"

namespace nuvra {

// Kind 8: runs the job's DiagnosticWrite, resolves with true. The cleanup
// runs after every execute step; a cleanup that cannot finish turns the
// reason into "profile_diagnostic_cleanup_uncertain".
extern const JobHandler kDiagnosticWriteJob;

}  // namespace nuvra
