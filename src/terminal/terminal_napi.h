// The JavaScript face of terminal operations (`newTerminalOperation`,
// `prepareTerminal`, `commitTerminal`, `closeTerminalOperation`), the
// process-wide table of live operations, the handlers of the checkpoint
// (kind 15) and terminal record (kind 16) jobs, the notices a work's end
// gives its operation, and the seam through which the two sides of an
// exchange hand their evidence to it.
#pragma once

#include <node_api.h>

#include <string>

#include "addon/addon_state.h"
#include "addon/jobs_napi.h"
#include "common/seam.h"

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

// The work-end notices. endWork, before the work goes inactive: the linked
// operation's end is requested now.
void noteWorkEnding(Work& work) noexcept;
// The end job's completion (recordWorkEnd): the end's tick and verdict and,
// for an end that succeeded, both sides' evidence. Returns the reason the
// end must fail with when the evidence was refused ("terminal_invalid"),
// else null.
const char* recordWorkEnd(Work& work, bool succeeded) noexcept;

// Finaliser: the environment's live operations are closed; they leave the
// table when JavaScript closes them or never.
void closeEnvironmentTerminalOperations(AddonState& state) noexcept;

// What the exchange's two sides know of a work when its end succeeded: the
// JSON text of their evidence, or empty when they have none (written null).
// Called on the JavaScript thread with the operation's lock held; they take
// the work's own state lock. A hook throws "terminal_invalid" for evidence
// it must refuse. Unset hooks leave that side null.
struct TerminalEvidenceHooks {
  std::string (*client)(Work& work) = nullptr;
  std::string (*server)(Work& work) = nullptr;
};
Seam<TerminalEvidenceHooks>& terminalEvidenceHooks();

}  // namespace nuvra
