#include "terminal/terminal_napi.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "addon/frame_napi.h"
#include "common/crypto_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/vocabulary.h"
#include "common/wipe.h"
#include "custody/profile_win.h"
#include "diagnostics/event.h"
#include "diagnostics/events_napi.h"
#include "diagnostics/log_writer_win.h"
#include "diagnostics/profile_link_win.h"
#include "terminal/terminal_rules.h"
#include "terminal/terminal_win.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

// The addon's terminal-operation tag: only objects made by
// newTerminalOperation carry it.
constexpr napi_type_tag kTerminalTag{0x6e757672615f7465ULL, 0x726d696e616c5f31ULL};
constexpr std::size_t kOperationIdBytes = 32;

// The process-wide tables of terminal operations, guarded by processLock and
// never destroyed: the live operations by serial number, the operations
// whose handles would not all close (kept alive until the process exits),
// the one claim of the process's account purpose, and the next serial.
//
// The JavaScript object wraps the serial, never the operation's address: a
// freed operation's address can come back for a newer one, and a stale
// object would then pass the lookup and act on somebody else's operation.
// A serial is never handed out twice in the life of the process.
struct TerminalTables {
  std::map<std::uint64_t, std::shared_ptr<TerminalObservation>> live;
  std::vector<std::shared_ptr<TerminalObservation>> uncertain;
  bool purposeClaimed = false;
  std::uint64_t nextSerial = 1;
};
TerminalTables& terminalTables() {
  static TerminalTables* const tables = new TerminalTables();
  return *tables;
}

// Jobs of kinds 15 and 16.
struct CheckpointJob : DiagnosticWriteJob {
  explicit CheckpointJob(JobKind jobKind) : DiagnosticWriteJob(jobKind) {}
  std::shared_ptr<TerminalObservation> operation;
};
struct TerminalRecordJob : NativeJob {
  using NativeJob::NativeJob;
  std::shared_ptr<TerminalObservation> operation;
};

std::string utcNowText() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return utcStampText(
      {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds});
}

// The wrapped value is the serial itself, carried in the pointer's bits; it
// is never dereferenced.
void* wrappedSerial(std::uint64_t serial) noexcept {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(serial));
}
std::uint64_t unwrappedSerial(void* wrapped) noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(wrapped));
}

// Resolving `op`: the tag, then a live operation of this environment that is
// not closed. The unwrapped value is only ever a key into the table.
std::shared_ptr<TerminalObservation> resolveOperation(napi_env env, napi_value value) {
  bool tagged = false;
  napiCheck(napi_check_object_type_tag(env, value, &kTerminalTag, &tagged));
  if (!tagged) fail("terminal_owner_refused");
  void* native = nullptr;
  napiCheck(napi_unwrap(env, value, &native));
  const std::uint64_t environment = addonStateOf(env).environmentId;
  std::lock_guard<std::mutex> lock(processState().processLock);
  const auto& live = terminalTables().live;
  const auto found = live.find(unwrappedSerial(native));
  if (found == live.end() || found->second->environmentId != environment ||
      found->second->closed.load()) {
    fail("terminal_owner_refused");
  }
  return found->second;
}

// newTerminalOperation step 4 for an operation of a diagnostic event. The
// caller holds processLock.
void claimEvent(const std::string& token, std::uint64_t environment, const std::string& operation) {
  const std::shared_ptr<DiagnosticEvent> event = findDiagnosticEvent(token);
  const bool usable = event && event->ownerEnvironment == environment && !event->closed.load();
  bool claimed = usable && event->claimed.load();
  const bool wasClaimed = claimed;
  try {
    claimDiagnosticEvent(usable, claimed, usable ? event->scope : std::string(), operation);
  } catch (...) {
    // A mismatch still took the claim.
    if (claimed && !wasClaimed) event->claimed.store(true);
    throw;
  }
  event->claimed.store(true);
}

// ---- Kind 15: the checkpoint -----------------------------------------------

// The write takes the work's lock and then waits for the home's
// serialisation mutex, which another process may hold until the work's
// deadline. The operation's lock is taken only inside the append, after the
// mutex (writeCheckpoint below): commitTerminal, closeTerminalOperation and
// the work-end notices take it on the JavaScript thread, which must never
// wait behind another process.
void executeCheckpoint(NativeJob& base) {
  CheckpointJob& job = jobAs<CheckpointJob>(base);
  if (!job.diagnosticLog) fail("diagnostic_event_required");
  job.diagnosticLog->run();
}

void finishCheckpoint(NativeJob& base) noexcept {
  CheckpointJob& job = jobAs<CheckpointJob>(base);
  if (!job.diagnosticLog) return;
  // The reserved reason capacity takes this without allocating.
  if (!job.diagnosticLog->cleanup()) job.error = "profile_diagnostic_cleanup_uncertain";
}

napi_value resolveTrue(napi_env env, NativeJob&) {
  return makeBoolean(env, true);
}

// ---- Kind 16: the terminal record ------------------------------------------

void executeTerminalRecord(NativeJob& base) {
  TerminalObservation& operation = *jobAs<TerminalRecordJob>(base).operation;
  std::lock_guard<std::mutex> lock(operation.lock);
  writeTerminalRecord(operation);
}

}  // namespace

const JobHandler kCheckpointJob{executeCheckpoint, resolveTrue, nullptr,
                                finishCheckpoint,  nullptr,     nullptr};
const JobHandler kTerminalRecordJob{
    executeTerminalRecord, resolveTrue, nullptr, nullptr, nullptr, nullptr};

napi_value newTerminalOperation(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 2);
  const std::uint64_t environment = addonStateOf(env).environmentId;
  // 1.
  const std::string operation = readUtf8Argument(env, arguments[0]);
  const std::string eventId = readUtf8Argument(env, arguments[1]);
  if (!isMember(operationNames, operation)) fail("terminal_invalid");
  // 2.
  auto created =
      std::make_shared<TerminalObservation>(environment, operation, eventTokenOf(eventId));
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    TerminalTables& tables = terminalTables();
    const StartupProfile& profile = startupProfile();
    // 3.
    checkTerminalCapacity(profile.initialized, isPoisoned(), tables.live.size());
    // 4. Ownership: the process's purpose, or a diagnostic event.
    if (claimsProcessPurpose(profile.accountPurpose)) {
      claimProcessPurpose(profile.accountPurpose, operation, eventId, tables.purposeClaimed);
    } else {
      claimEvent(eventId, environment, operation);
    }
  }
  // 5.
  {
    WipedBytes bytes;
    bytes.resize(kOperationIdBytes);
    randomBytes(bytes.data(), bytes.size(), "terminal_unavailable");
    created->operationId = sha256Hex(bytes.view());
  }
  // 6. The serial is taken even when a Node-API step below fails: a number
  //    handed out once is never handed out again.
  std::uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    serial = terminalTables().nextSerial++;
  }
  created->serial = serial;
  napi_value object = makeObject(env);
  napiCheck(napi_wrap(env, object, wrappedSerial(serial), nullptr, nullptr, nullptr));
  napiCheck(napi_type_tag_object(env, object, &kTerminalTag));
  std::lock_guard<std::mutex> lock(processState().processLock);
  terminalTables().live.emplace(serial, created);
  return object;
}

napi_value prepareTerminal(napi_env env, napi_callback_info info) {
  // A call with the wrong count consumes nothing.
  const Arguments arguments = fetchArguments(env, info, 5);
  // 1.
  std::shared_ptr<TerminalObservation> operation = resolveOperation(env, arguments[0]);
  if (operation->prepared.exchange(true)) fail("terminal_consumed");
  // 2.
  std::shared_ptr<Work> work = lookupWork(env, arguments[1]);
  checkWorkValidity(*work);
  std::string accountPurpose;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    accountPurpose = startupProfile().accountPurpose;
  }
  std::optional<std::uint64_t> eventDeadline;
  {
    std::lock_guard<std::mutex> binding(work->bindingLock);
    // 3.
    if (work->terminal.lock()) fail("terminal_owner_refused");
    // 4.
    const DiagnosticEvent* event = work->diagnosticEvent.get();
    checkPrepareOwner({operation->eventToken, event != nullptr,
                       event != nullptr ? std::string_view(event->token) : std::string_view(),
                       work->diagnosticUnbound.load(), operation->operation, accountPurpose,
                       work->role});
    if (event != nullptr) eventDeadline = event->deadline.load();
  }
  // 5.
  std::string attemptId = checkAttemptId(readUtf8Argument(env, arguments[2]));
  std::string requestId = checkRequestId(readUtf8Argument(env, arguments[3]));
  std::string phase = readUtf8Argument(env, arguments[4]);
  if (!isMember(evidenceStages, phase)) fail("terminal_invalid");
  std::string checkpoint;
  {
    std::lock_guard<std::mutex> lock(operation->lock);
    // 6.
    operation->attemptId = std::move(attemptId);
    operation->requestId = std::move(requestId);
    operation->phase = std::move(phase);
    operation->workId = work->id;
    operation->workStart = work->timing.start;
    operation->deadline = terminalDeadline(eventDeadline, work->timing.deadline);
    // 7.
    {
      std::lock_guard<std::mutex> binding(work->bindingLock);
      work->terminal = operation;
    }
    // 8.
    checkTerminalAvailable(*operation);
    checkpoint = checkpointRecord({operation->operationId, operation->attemptId,
                                   operation->requestId, operation->operation, utcNowText()});
  }
  // 9. The work owns the write; the operation appends the record and keeps
  //    the file.
  auto job = newJob<CheckpointJob>(JobKind::kPrepareTerminal);
  job->operation = operation;
  TerminalObservation* const target = operation.get();
  auto write = new DiagnosticWrite(
      workLogOwner(work), profileLogHome(), checkpoint,
      [target, checkpoint](HANDLE file, const std::wstring& path, const FileIdentity& identity,
                           std::vector<UniqueHandle>& handles) {
        std::lock_guard<std::mutex> lock(target->lock);
        writeCheckpoint(*target, file, path, identity, checkpoint, handles);
      });
  job->diagnosticLog.reset(write);
  return queueJob(env, std::move(job));
}

napi_value commitTerminal(napi_env env, napi_callback_info info) {
  // A call with the wrong count consumes nothing.
  const Arguments arguments = fetchArguments(env, info, 5);
  // 1.
  std::shared_ptr<TerminalObservation> operation = resolveOperation(env, arguments[0]);
  if (operation->committed.exchange(true)) fail("terminal_consumed");
  // 2.
  std::lock_guard<std::mutex> lock(operation->lock);
  // 3.
  checkCommitReady(operation->checkpointWritten, operation->endRequested.load(),
                   operation->workEnded.load(), operation->endSucceeded);
  // 4.
  checkTerminalAvailable(*operation);
  // 5.
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, arguments[1], &type));
  if (type != napi_boolean) fail("terminal_invalid");
  bool ok = false;
  napiCheck(napi_get_value_bool(env, arguments[1], &ok));
  operation->ok = ok;
  operation->state = readUtf8Argument(env, arguments[2]);
  operation->reason = readUtf8Argument(env, arguments[3]);
  operation->phase = readUtf8Argument(env, arguments[4]);
  // 6.
  checkCommitOutcome(ok, operation->reason, isMember(outcomeStates, operation->state),
                     isMember(terminalReasons, operation->reason),
                     isMember(evidenceStages, operation->phase));
  // 7.
  auto job = newJob<TerminalRecordJob>(JobKind::kCommitTerminal);
  job->operation = std::move(operation);
  return queueJob(env, std::move(job));
}

napi_value closeTerminalOperation(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  // 1.
  std::shared_ptr<TerminalObservation> operation = resolveOperation(env, arguments[0]);
  operation->closed.store(true);
  // 2.
  bool closedCleanly = false;
  {
    std::lock_guard<std::mutex> lock(operation->lock);
    closedCleanly = closeOperationHandles(*operation);
  }
  // 3.
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    TerminalTables& tables = terminalTables();
    if (!closedCleanly) tables.uncertain.push_back(operation);
    tables.live.erase(operation->serial);
  }
  // 4.
  return makeBoolean(env, closedCleanly);
}

// Nobody can close an operation of an ended environment any more: left in
// the table it would hold one of the 128 places for the rest of the process.
// So it leaves the table closed; its handles are closed here unless a job is
// writing with them, whose last reference then closes them.
void closeEnvironmentTerminalOperations(AddonState& state) noexcept {
  std::vector<std::shared_ptr<TerminalObservation>> ended;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    auto& live = terminalTables().live;
    for (auto entry = live.begin(); entry != live.end();) {
      if (entry->second->environmentId != state.environmentId) {
        ++entry;
        continue;
      }
      entry->second->closed.store(true);
      ended.push_back(entry->second);
      entry = live.erase(entry);
    }
  }
  // The operation's lock comes before processLock.
  for (const std::shared_ptr<TerminalObservation>& operation : ended) {
    std::unique_lock<std::mutex> lock(operation->lock, std::try_to_lock);
    if (!lock.owns_lock() || closeOperationHandles(*operation)) continue;
    std::lock_guard<std::mutex> tables(processState().processLock);
    terminalTables().uncertain.push_back(operation);
  }
}

}  // namespace nuvra
