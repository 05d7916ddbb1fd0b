#include "server/server_napi.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "addon/frame_napi.h"
#include "addon/json_value_napi.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/profile_win.h"
#include "resident/resident_win.h"
#include "server/server_evidence.h"
#include "server/server_exchange.h"
#include "server/server_work_win.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

void requireServerRole(const Work& work) {
  if (work.role != "server") fail("profile_evidence_role");
}

std::string runtimeGeneration() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  return startupProfile().generation;
}

}  // namespace

napi_value bindServerWork(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 2);
  // 1.
  const std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  checkWorkValidity(*work);
  requireServerRole(*work);
  // 2. Only a published resident serves requests.
  const ResidentState* resident = residentState();
  if (resident == nullptr || resident->phase.load() != ResidentPhase::published) {
    fail("profile_resident_required");
  }
  // 3.
  const std::string requestLine = readUtf8Argument(env, arguments[1]);
  const std::string generation = runtimeGeneration();
  checkServerRequestLine(requestLine,
                         ServerBindingFacts{generation, work->operation, work->timing.deadline});
  // 4.
  {
    std::lock_guard<std::mutex> state(work->stateMutex);
    bindServerRequest(work->server, requestLine);
  }
  // 5.
  return makeString(env, "bound");
}

napi_value serverPhase(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 3);
  // 1. The audit's facts are read before the state mutex, which never waits
  //    for processLock.
  const std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  const std::string phase = readUtf8Argument(env, arguments[1]);
  const std::string reason = readUtf8Argument(env, arguments[2]);
  const PhaseAuditFacts facts = phaseAuditFacts();
  std::lock_guard<std::mutex> state(work->stateMutex);
  // 2. to 4.
  const ServerPhaseStep step = observeServerPhase(work->server, work->role, phase, reason,
                                                  [&work] { checkWorkValidity(*work); });
  if (step == ServerPhaseStep::sealTerminal) sealServerTerminal(*work, reason, facts);
  // 5.
  return makeString(env, "observed");
}

napi_value serverOutcome(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  const std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  requireServerRole(*work);
  // Built under the state mutex, parsed after it: the engine is never
  // called with the mutex held.
  std::string text;
  {
    std::lock_guard<std::mutex> state(work->stateMutex);
    text = serverOutcomeText(work->server, work->id, work->operation);
  }
  return parseJsonValue(env, text);
}

napi_value ingressRemaining(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  // 1. and 2.
  const std::string deadline = readUtf8Argument(env, arguments[0]);
  const std::uint64_t remaining = nuvra::ingressRemaining(deadline, GetTickCount64());
  // 3.
  napi_value value = nullptr;
  napiCheck(napi_create_double(env, static_cast<double>(remaining), &value));
  return value;
}

}  // namespace nuvra
