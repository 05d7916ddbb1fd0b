#include "diagnostics/events_napi.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "common/crypto_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "diagnostics/event.h"
#include "diagnostics/log_writer_win.h"
#include "diagnostics/profile_link_win.h"

namespace nuvra {
namespace {

constexpr std::size_t kTokenBytes = 32;

UtcTime utcNow() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void executeDiagnosticWrite(NativeJob& job) {
  DiagnosticLogPointer& write = jobAs<DiagnosticWriteJob>(job).diagnosticLog;
  if (!write) fail("diagnostic_event_required");
  write->run();
}

void finishDiagnosticWrite(NativeJob& job) noexcept {
  DiagnosticLogPointer& write = jobAs<DiagnosticWriteJob>(job).diagnosticLog;
  if (!write) return;
  // The reserved reason capacity takes this without allocating.
  if (!write->cleanup()) job.error = "profile_diagnostic_cleanup_uncertain";
}

napi_value resolveTrue(napi_env env, NativeJob&) {
  return makeBoolean(env, true);
}

}  // namespace

const JobHandler kDiagnosticWriteJob = {executeDiagnosticWrite, resolveTrue, nullptr,
                                        finishDiagnosticWrite,  nullptr,     nullptr};

napi_value newDiagnosticEvent(napi_env env, napi_callback_info info) {
  // 1. Zero or one argument.
  const Arguments arguments = fetchOptionalArguments(env, info, 1);
  const AddonState& state = addonStateOf(env);
  // 2. Only a runtime that finished its startup, is sound and logs.
  if (!startupCustodyHeld() || isPoisoned() || loggingOff()) fail("profile_custody_required");
  // 3. Scope.
  const std::string scope = arguments.count == 1 ? readUtf8Argument(env, arguments[0]) : "worker";
  if (scope != "worker" && scope != "mcp") fail("diagnostic_record_invalid");
  // 4. The event, named by 32 random bytes.
  std::string bytes(kTokenBytes, '\0');
  randomBytes(bytes.data(), bytes.size(), "profile_diagnostic_entropy");
  auto event = makeDiagnosticEvent(scope, state.environmentId, GetTickCount64(), bytes);
  // 5. Into the table.
  registerDiagnosticEvent(event);
  // 6. The token.
  return makeString(env, event->token);
}

napi_value appendIngressDiagnostic(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 4);
  const AddonState& state = addonStateOf(env);
  // 1. Event lookup, then the record's words.
  auto event = lookupDiagnosticEvent(readUtf8Argument(env, arguments[0]), state.environmentId);
  const std::string stage = readUtf8Argument(env, arguments[1]);
  const std::string outcome = readUtf8Argument(env, arguments[2]);
  const std::string reason = readUtf8Argument(env, arguments[3]);
  if (!isIngressStage(stage) || !isIngressOutcome(outcome) || !isIngressReason(reason)) {
    fail("diagnostic_record_invalid");
  }
  // 2. Count the record and move the stage's start.
  std::uint64_t now = 0;
  std::uint64_t elapsed = 0;
  {
    std::lock_guard<std::mutex> lock(event->counterLock);
    now = GetTickCount64();
    checkEventWritable(*event, now, loggingOff(), isPoisoned());
    elapsed = recordIngressStage(*event, stage, outcome, now);
  }
  // 3. Filtered records are counted but not written.
  if (currentLogLevel() == LogLevel::failuresOnly && outcome != "failed") {
    return makeBoolean(env, true);
  }
  // 4. The record, written by a job the event owns.
  std::string record = ingressStageRecord(*event, utcNow(), GetCurrentProcessId(), stage, outcome,
                                          reason, elapsed, now - event->created);
  auto job = newJob<DiagnosticWriteJob>(JobKind::kAppendDiagnostic);
  job->diagnosticLog.reset(
      new DiagnosticWrite(eventLogOwner(event), profileLogHome(), std::move(record)));
  return queueJob(env, std::move(job));
}

napi_value closeDiagnosticEvent(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  const AddonState& state = addonStateOf(env);
  auto event = lookupDiagnosticEvent(readUtf8Argument(env, arguments[0]), state.environmentId);
  // Writes already queued fail their next event check.
  closeDiagnosticEventEntry(event);
  return makeBoolean(env, true);
}

}  // namespace nuvra
