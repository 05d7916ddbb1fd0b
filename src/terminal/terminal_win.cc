#include "terminal/terminal_win.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "common/file_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "diagnostics/event.h"
#include "diagnostics/log_writer_win.h"
#include "terminal/terminal_rules.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

std::string utcNowText() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return utcStampText(
      {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds});
}

// The operation a work was prepared against, if it still exists.
std::shared_ptr<TerminalObservation> linkedOperation(Work& work) {
  std::lock_guard<std::mutex> binding(work.bindingLock);
  return work.terminal.lock();
}

[[noreturn]] void unavailable() {
  fail("terminal_unavailable");
}

// A log file the operation may still write to: one link, neither a
// directory nor a reparse point. It is the file the checkpoint recorded,
// volume and index, for as long as the operation holds it open; whether
// its name still holds it is the day's-file check that follows.
bool unchangedLogFile(HANDLE file) noexcept {
  FileShape now;
  if (!fileShape(file, now)) return false;
  return now.links == 1 &&
         (now.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

Seam<TerminalEvidenceHooks>& terminalEvidenceHooks() {
  static Seam<TerminalEvidenceHooks> seam;
  return seam;
}

void checkTerminalAvailable(const TerminalObservation& operation) {
  checkTerminalAvailable(
      {operation.closed.load(), operation.writeUncertain, isPoisoned(), loggingOff()},
      GetTickCount64(), operation.deadline);
}

void appendTerminalRecord(TerminalObservation& operation, HANDLE file, const std::string& text) {
  // 1.
  checkTerminalAvailable(operation);
  // 2. Refused before a byte is written.
  if (text.size() > kTerminalRecordLimit) fail("terminal_invalid");
  // 3.
  operation.writeBuffer = text;
  // 4. The event, created once and reset for every later write; both offset
  //    words all ones write at the current end of the file, so writers of
  //    the same file never overwrite each other.
  if (!operation.writeEvent) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event || !SetHandleInformation(event.get(), HANDLE_FLAG_INHERIT, 0)) unavailable();
    operation.writeEvent = std::move(event);
  } else if (!ResetEvent(operation.writeEvent.get())) {
    unavailable();
  }
  std::memset(&operation.overlapped, 0, sizeof(operation.overlapped));
  operation.overlapped.hEvent = operation.writeEvent.get();
  operation.overlapped.Offset = 0xFFFFFFFF;
  operation.overlapped.OffsetHigh = 0xFFFFFFFF;
  // 5.
  checkTerminalAvailable(operation);
  const auto length = static_cast<DWORD>(operation.writeBuffer.size());
  DWORD written = 0;
  // Another appender of the file holds its lock for one write at most; a
  // lock still not taken when the deadline passes is the deadline's failure.
  const AppendLock lock(file, operation.deadline);
  if (!lock) {
    checkTerminalAvailable(operation);
    unavailable();
  }
  if (!WriteFile(file, operation.writeBuffer.data(), length, &written, &operation.overlapped)) {
    // 7.
    if (GetLastError() != ERROR_IO_PENDING) unavailable();
    // 6. The write may still land after a failed wait: unless its
    //    cancellation is confirmed nobody can say what the file holds.
    const std::uint64_t now = GetTickCount64();
    const DWORD left = now < operation.deadline ? static_cast<DWORD>(operation.deadline - now) : 0;
    if (!GetOverlappedResultEx(file, &operation.overlapped, &written, left, FALSE)) {
      CancelIoEx(file, &operation.overlapped);
      // Asked without waiting, a write still in flight reports
      // ERROR_IO_INCOMPLETE rather than WAIT_TIMEOUT; both leave it open.
      if (!GetOverlappedResultEx(file, &operation.overlapped, &written, 0, FALSE) &&
          (GetLastError() == WAIT_TIMEOUT || GetLastError() == ERROR_IO_INCOMPLETE)) {
        operation.writeUncertain = true;
        setPoisoned();
      }
      unavailable();
    }
  }
  // 8.
  if (written != length || operation.closed.load() || operation.writeUncertain || isPoisoned() ||
      loggingOff()) {
    unavailable();
  }
  const std::uint64_t now = GetTickCount64();
  if (!(now < operation.deadline && operation.deadline - now <= kTerminalWindowMs)) {
    fail("profile_startup_timeout");
  }
}

void writeCheckpoint(TerminalObservation& operation, HANDLE file, const std::wstring& path,
                     const FileIdentity& identity, const std::string& text,
                     std::vector<UniqueHandle>& handles) {
  appendTerminalRecord(operation, file, text);
  // The write's handles stay open with the operation; the file is the last.
  operation.logFiles = std::move(handles);
  handles.clear();
  operation.logIdentity = identity;
  operation.logPath = path;
  operation.checkpointWritten = true;
}

void writeTerminalRecord(TerminalObservation& operation) {
  // 1.
  checkTerminalAvailable(operation);
  // 2. The file that holds the checkpoint, unchanged.
  if (operation.logFiles.empty() || !operation.logFiles.back()) unavailable();
  const HANDLE file = operation.logFiles.back().get();
  if (!unchangedLogFile(file)) unavailable();
  // Rotations move the file among its day's names; one that moved it away
  // (a file dropped, or moved elsewhere and replaced) leaves it here.
  if (!isDayLogFile(operation.logIdentity, operation.logPath)) unavailable();
  // 3.
  const std::uint64_t now = GetTickCount64();
  const std::string record = terminalRecord(
      {operation.operationId, operation.attemptId, operation.requestId, operation.operation,
       operation.phase, operation.ok, operation.state, operation.reason, utcNowText(),
       operation.workStart, operation.deadline, operation.endRequestedAt.load(),
       operation.endedAt.load(), operation.clientEvidence, operation.serverEvidence},
      now);
  // 4.
  appendTerminalRecord(operation, file, record);
  // A rotation that dropped the file between the check and the append took
  // the record with it: that is a record not kept, and said so.
  const bool kept = isDayLogFile(operation.logIdentity, operation.logPath);
  // 5.
  if (!closeOperationHandles(operation)) unavailable();
  if (!kept) unavailable();
  checkTerminalAvailable(operation);
}

bool closeOperationHandles(TerminalObservation& operation) noexcept {
  bool clean = true;
  for (UniqueHandle& handle : operation.logFiles) {
    if (!handle.closeForCleanup()) clean = false;
  }
  if (!operation.writeEvent.closeForCleanup()) clean = false;
  if (!clean) {
    operation.writeUncertain = true;
    setPoisoned();
  }
  return clean;
}

void noteWorkEnding(Work& work) noexcept {
  const std::shared_ptr<TerminalObservation> operation = linkedOperation(work);
  // A second endWork of the same work keeps the first request's tick.
  if (!operation || operation->endRequested.load()) return;
  operation->endRequestedAt.store(GetTickCount64());
  operation->endRequested.store(true);
}

const char* recordWorkEnd(Work& work, bool succeeded) noexcept {
  // 1.
  const std::shared_ptr<TerminalObservation> operation = linkedOperation(work);
  if (!operation) return nullptr;
  // 2.
  std::lock_guard<std::mutex> lock(operation->lock);
  if (operation->workEnded.load()) return nullptr;
  operation->endedAt.store(GetTickCount64());
  operation->endSucceeded = succeeded;
  // 3. The evidence of the work's side, from the subsystem that holds it;
  //    a work of any other role leaves both null.
  if (succeeded) {
    operation->clientEvidence.clear();
    operation->serverEvidence.clear();
    const TerminalEvidenceHooks& hooks = terminalEvidenceHooks().hooks();
    try {
      if (work.role == "client" && hooks.client != nullptr) {
        hooks.client(work, operation->clientEvidence, operation->serverEvidence);
      } else if (work.role == "server" && hooks.server != nullptr) {
        operation->serverEvidence = hooks.server(work);
      }
    } catch (...) {
      // Refused evidence leaves the work's end unrecorded: nothing can be
      // committed for it.
      operation->clientEvidence.clear();
      operation->serverEvidence.clear();
      return "terminal_invalid";
    }
  }
  // 4.
  operation->workEnded.store(true);
  return nullptr;
}

}  // namespace nuvra
