// The JavaScript face of terminal operations (`newTerminalOperation`,
// `prepareTerminal`, `commitTerminal`, `closeTerminalOperation`), the
// process-wide table of live operations and the handlers of the checkpoint
// (kind 15) and terminal record (kind 16) jobs.
#pragma once

#include <node_api.h>

#include <string>

#include "addon/addon_state.h"
#include "addon/jobs_napi.h"

namespace nuvra {

struct Work;

napi_value newTerminalOperation(napi_env env, napi_callback_info info);
napi_value prepareTerminal(napi_env env, napi_callback_info info);
napi_value commitTerminal(napi_env env, napi_callback_info info);
napi_value closeTerminalOperation(napi_env env, napi_callback_info info);

// Kind 15 writes the checkpoint through the diagnostic log writer; kind 16
// appends the terminal record to the same file.
extern const JobHandler kCheckpointJob;
extern const JobHandler kTerminalRecordJob;

// Finaliser: the environment's live operations are closed and leave the
// table (an operation whose handles would not close joins the uncertain
// list).
void closeEnvironmentTerminalOperations(AddonState& state) noexcept;

}  // namespace nuvra
