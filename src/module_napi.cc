// The module: registration of the 40 functions, and the one place that wires
// the subsystems into the frame below them: the function table, the
// job-handler table, the seams the lower layers offer, and the order of the
// environment's finaliser steps.
#include <node_api.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "account/account_napi.h"
#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "addon/jobs_napi.h"
#include "children/children_napi.h"
#include "custody/serialization_win.h"
#include "diagnostics/event.h"
#include "diagnostics/events_napi.h"
#include "exchange/client_evidence_win.h"
#include "exchange/exchange_napi.h"
#include "resident/publication_napi.h"
#include "resident/resident_napi.h"
#include "resident/resident_win.h"
#include "server/server_napi.h"
#include "server/server_work_win.h"
#include "startup/startup_napi.h"
#include "terminal/terminal_napi.h"
#include "terminal/terminal_win.h"
#include "work/work_napi.h"

namespace nuvra {
namespace {

struct FunctionEntry {
  const char* name;
  napi_callback callback;
};

// Registration order is part of the interface.
constexpr FunctionEntry kFunctions[] = {
    {"newTerminalOperation", callFrame<newTerminalOperation>},
    {"prepareTerminal", callFrame<prepareTerminal>},
    {"commitTerminal", callFrame<commitTerminal>},
    {"closeTerminalOperation", callFrame<closeTerminalOperation>},
    {"timingCheckpoint", callFrame<timingCheckpoint>},
    {"residentCheckpoint", callFrame<residentCheckpoint>},
    {"endResident", callFrame<endResident>},
    {"publishResident", callFrame<publishResident>},
    {"spawnResidentHost", callFrame<spawnResidentHost>},
    {"observeResident", callFrame<observeResident>},
    {"residentStatus", callFrame<residentStatus>},
    {"prepareAccountWorker", callFrame<prepareAccountWorker>},
    {"readyAccountWorker", callFrame<readyAccountWorker>},
    {"adoptAccountWorker", callFrame<adoptAccountWorker>},
    {"releaseAccountWorker", callFrame<releaseAccountWorker>},
    {"prepareBrokerBudget", callFrame<prepareBrokerBudget>},
    {"initialize", callFrame<initialize>},
    {"finishStartup", callFrame<finishStartup>},
    {"beginWork", callFrame<beginWork>},
    {"endWork", callFrame<endWork>},
    {"checkWorkBinding", callFrame<checkWorkBinding>},
    {"observeBroker", callFrame<observeBroker>},
    {"exchange", callFrame<exchange>},
    {"closeClientDispatch", callFrame<closeClientDispatch>},
    {"serverOutcome", callFrame<serverOutcome>},
    {"bindServerWork", callFrame<bindServerWork>},
    {"serverPhase", callFrame<serverPhase>},
    {"exchangePhase", callFrame<exchangePhase>},
    {"exchangeOutcome", callFrame<exchangeOutcome>},
    {"ingressRemaining", callFrame<ingressRemaining>},
    {"appendIngressDiagnostic", callFrame<appendIngressDiagnostic>},
    {"closeDiagnosticEvent", callFrame<closeDiagnosticEvent>},
    {"appendDiagnostic", callFrame<appendDiagnostic>},
    {"newDiagnosticEvent", callFrame<newDiagnosticEvent>},
    {"spawnAsync", callFrame<spawnAsync>},
    {"write", callFrame<childWrite>},
    {"end", callFrame<childEnd>},
    {"poll", callFrame<childPoll>},
    {"kill", callFrame<childKill>},
    {"dispose", callFrame<childDispose>},
};
constexpr std::size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
static_assert(kFunctionCount == 40);

std::atomic<std::uint64_t> lastEnvironmentId{0};

// What an ending environment gives up, in this order: a live account worker
// is stopped (poisoning the process: nobody can vouch for it now); its works end and leave
// the process-wide table; its diagnostic events close (queued writes then
// fail their next event check); its terminal operations close and leave
// the table; its budgets go; every child still owned goes
// to its cleanup work, whose release closes its job off the JavaScript thread
// and so ends the process tree. The process-wide tables outlive it.
using FinalizerStep = void (*)(AddonState& state) noexcept;
constexpr FinalizerStep kFinalizerSteps[] = {
    releaseEnvironmentAccount,
    endEnvironmentWorks,
    [](AddonState& state) noexcept { closeEnvironmentDiagnosticEvents(state.environmentId); },
    closeEnvironmentTerminalOperations,
    releaseEnvironmentBudgets,
    releaseEnvironmentChildren,
};

void finalizeAddonState(napi_env, void* data, void*) {
  std::unique_ptr<AddonState> state(static_cast<AddonState*>(data));
  for (const FinalizerStep step : kFinalizerSteps) step(*state);
}

// Returning no exports alone would still load the module, with whatever
// functions it got; a pending exception makes the require itself fail.
napi_value refuseToLoad(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) {
    napi_throw_error(env, nullptr, "profile_native_api");
  }
  return nullptr;
}

// The hooks the higher subsystems hand to the seams below them.
const StartupHooks kStartupHooks{reserveResident, accountWorkerReady};
const SerializationHooks kSerializationHooks{residentClockRule};
const WorkEndHooks kWorkEndHooks{noteWorkEnding, revokeEndingWork, residentWorkEnded,
                                 recordWorkEnd};
// Each side's evidence comes from the subsystem that holds it.
const TerminalEvidenceHooks kTerminalEvidenceHooks{clientWorkEvidence, serverEvidence};
const ChildLookupHooks kChildLookupHooks{findAccountChild, takeAccountChild};
const AccountHooks kAccountHooks{[](AddonState& state) -> std::uint32_t {
  return environmentPart<ChildrenPart>(state).nextChildId++;
}};
// In resident mode the account worker lives inside the resident's ceiling.
const AccountResidentHooks kAccountResidentHooks{
    [] { return residentState() != nullptr; },
    [] { checkResidentAvailability(); },
    residentCeiling,
    registerResidentJob,
};

void installSeams() noexcept {
  startupHooks().install(&kStartupHooks);
  serializationHooks().install(&kSerializationHooks);
  workEndHooks().install(&kWorkEndHooks);
  childLookupHooks().install(&kChildLookupHooks);
  terminalEvidenceHooks().install(&kTerminalEvidenceHooks);
  accountHooks().install(&kAccountHooks);
  accountResidentHooks().install(&kAccountResidentHooks);
}

napi_value registerModule(napi_env env, napi_value exports) {
  // 0. The seams, before any call can reach them.
  installSeams();
  // 1. A fresh per-environment state. Node calls this from C: a failed
  //    allocation refuses the load instead of unwinding into it.
  std::unique_ptr<AddonState> state;
  try {
    state = std::make_unique<AddonState>();
  } catch (...) {
    return refuseToLoad(env);
  }
  state->environmentId = ++lastEnvironmentId;
  // 2. Attach it; from here on Node owns it and the finaliser frees it.
  if (napi_set_instance_data(env, state.get(), finalizeAddonState, nullptr) != napi_ok) {
    return refuseToLoad(env);
  }
  state.release();
  // 3. The 40 functions in table order, attributes napi_default.
  napi_property_descriptor descriptors[kFunctionCount] = {};
  for (std::size_t i = 0; i < kFunctionCount; ++i) {
    descriptors[i].utf8name = kFunctions[i].name;
    descriptors[i].method = kFunctions[i].callback;
    descriptors[i].attributes = napi_default;
  }
  // 4. A failure stops the module from loading.
  if (napi_define_properties(env, exports, kFunctionCount, descriptors) != napi_ok) {
    return refuseToLoad(env);
  }
  return exports;
}

// Kind 6 serves two entries, each with its own job type: observeBroker's
// purposes other than "identity", and observeResident. Neither has optional
// steps, so the job's own execute and value steps are all there is to pick.
const JobHandler& observationHandler(NativeJob& job) noexcept {
  return isResidentObservation(job) ? kObserveResidentJob : kObserveBrokerJob;
}
void executeObservation(NativeJob& job) {
  observationHandler(job).execute(job);
}
napi_value observationValue(napi_env env, NativeJob& job) {
  return observationHandler(job).value(env, job);
}
const JobHandler kObservationJob{
    executeObservation, observationValue, nullptr, nullptr, nullptr, nullptr};

}  // namespace

// The kinds' handlers in kind order.
const JobHandler* const kJobHandlers[kJobKindCount] = {
    &kOpenWorkJob,          // 0  beginWork
    &kSpawnChildJob,        // 1  spawnAsync
    &kEndWorkJob,           // 2  endWork
    &kDisposeChildJob,      // 3  dispose
    &kCheckWorkBindingJob,  // 4  checkWorkBinding
    &kObserveBrokerJob,     // 5  observeBroker, purpose "identity"
    &kObservationJob,       // 6  observeBroker, other purposes; observeResident
    &kExchangeJob,          // 7  exchange, exchangePhase
    &kDiagnosticWriteJob,   // 8  appendDiagnostic, appendIngressDiagnostic,
                            //    residentCheckpoint
    &kPrepareAccountJob,    // 9  prepareAccountWorker
    &kReadyAccountJob,      // 10 readyAccountWorker
    &kAdoptAccountJob,      // 11 adoptAccountWorker
    &kReleaseAccountJob,    // 12 releaseAccountWorker
    &kResidentHostJob,      // 13 spawnResidentHost
    &kPublishResidentJob,   // 14 publishResident
    &kCheckpointJob,        // 15 prepareTerminal
    &kTerminalRecordJob,    // 16 commitTerminal
};

namespace {

// What a job carries for the account worker, read off its kind's own type:
// the end of a work carries the binding it revokes, kinds 9 to 12 and
// publication (14) the worker.
AccountCarriage accountCarriage(NativeJob& job) noexcept {
  switch (job.kind) {
    case JobKind::kEndWork: {
      WorkJob& end = jobAs<WorkJob>(job);
      return {end.account.get(), &end.work, false};
    }
    case JobKind::kPrepareAccountWorker:
    case JobKind::kReleaseAccountWorker: {
      AccountJob& account = jobAs<AccountJob>(job);
      return {account.account.get(), &account.work, false};
    }
    case JobKind::kReadyAccountWorker:
    case JobKind::kAdoptAccountWorker: {
      AccountJob& account = jobAs<AccountJob>(job);
      return {account.account.get(), &account.work, true};
    }
    case JobKind::kPublishResident: {
      PublicationRun& run = jobAs<PublishJob>(job).run;
      return {run.account.get(), nullptr, run.holdsWorker};
    }
    default:
      return {};
  }
}

}  // namespace

// Any job that carries the account worker: a failed execute step tears the
// worker down, the busy flag goes back after the execute step of the job
// that set it, and a rejection empties the environment's slot as well.
const JobHandler kEveryJob{
    nullptr,
    nullptr,
    [](NativeJob& job) noexcept { accountJobFailed(accountCarriage(job)); },
    [](NativeJob& job) noexcept { accountJobFinished(accountCarriage(job)); },
    nullptr,
    [](napi_env env, NativeJob& job) noexcept { accountJobRejected(env, accountCarriage(job)); },
};

}  // namespace nuvra

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) {
  return 8;
}

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  return nuvra::registerModule(env, exports);
}
}
