// A terminal operation: the native promise that one operation of the product
// leaves exactly one durable outcome. It is shared by its JavaScript
// wrapper, the work it is prepared against and its two record jobs, and it
// owns the log file its checkpoint went into until its terminal record has
// been appended to the same file.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/seam.h"

namespace nuvra {

struct Work;

struct TerminalObservation {
  TerminalObservation(std::uint64_t environment, std::string operationName, std::string token)
      : environmentId(environment),
        operation(std::move(operationName)),
        eventToken(std::move(token)) {}
  TerminalObservation(const TerminalObservation&) = delete;
  TerminalObservation& operator=(const TerminalObservation&) = delete;

  const std::uint64_t environmentId;
  const std::string operation;
  // Empty for the operation that claims the process's account purpose.
  const std::string eventToken;
  // Set once by newTerminalOperation, before anyone else can see it.
  std::string operationId;
  // The key of the live table and the value its JavaScript object wraps.
  std::uint64_t serial = 0;

  // Each step is taken at most once without holding the lock.
  std::atomic<bool> prepared{false};
  std::atomic<bool> committed{false};
  std::atomic<bool> closed{false};
  std::atomic<bool> endRequested{false};
  std::atomic<bool> workEnded{false};
  // Ticks, written by the work's end on the JavaScript thread before the
  // flags above that publish them.
  std::atomic<std::uint64_t> endRequestedAt{0};
  std::atomic<std::uint64_t> endedAt{0};

  // lock guards everything below and is held across a whole record append.
  // The JavaScript thread takes it, so it is never held while waiting for
  // the home's serialisation mutex: the checkpoint's write takes it only
  // once it owns the mutex (inside the work's lock). It comes before a
  // work's state lock and before processLock.
  std::mutex lock;
  std::string attemptId;
  std::string requestId;
  std::string phase;
  // JSON texts; empty is written null.
  std::string clientEvidence;
  std::string serverEvidence;
  bool ok = false;
  std::string state;
  std::string reason;
  std::uint64_t workId = 0;
  std::uint64_t workStart = 0;
  std::uint64_t deadline = 0;
  bool endSucceeded = false;
  bool checkpointWritten = false;
  bool writeUncertain = false;
  // The handles of the checkpoint's write, the log file last, that file's
  // identity and the path it had then (a rotation may move it since).
  std::vector<UniqueHandle> logFiles;
  FileIdentity logIdentity;
  std::wstring logPath;
  std::string writeBuffer;
  OVERLAPPED overlapped{};
  UniqueHandle writeEvent;
};

// checkTerminalAvailable with the operation's flags, the process's poison
// flag, the log level and the current tick. Caller holds the lock.
void checkTerminalAvailable(const TerminalObservation& operation);

// Appends `text` at the current end of `file` through the operation's
// buffer, event and OVERLAPPED block. A write that can be neither confirmed
// nor cancelled marks the operation uncertain and poisons the process.
// "terminal_invalid", "terminal_unavailable", "profile_startup_timeout".
// Caller holds the lock.
void appendTerminalRecord(TerminalObservation& operation, HANDLE file, const std::string& text);

// The checkpoint's append inside the diagnostic log write: appends the
// checkpoint to the file at `path`, whose identity the write read when it
// verified it, and takes over the write's handles. Caller holds the lock.
void writeCheckpoint(TerminalObservation& operation, HANDLE file, const std::wstring& path,
                     const FileIdentity& identity, const std::string& text,
                     std::vector<UniqueHandle>& handles);

// The terminal record job's native step: the checkpoint's file must still be
// the same single-linked file and still one of its day's log files, before
// the append and after it (a rotation may have dropped it meanwhile); the
// record is built with the current tick, appended, and the operation's
// handles closed.
void writeTerminalRecord(TerminalObservation& operation);

// Closes every log file handle and then the event. A failed close marks the
// operation uncertain, poisons the process and reports false. Caller holds
// the lock.
bool closeOperationHandles(TerminalObservation& operation) noexcept;

// The work-end notices. endWork, before the work goes inactive: the linked
// operation's end is requested now.
void noteWorkEnding(Work& work) noexcept;
// The end job's completion (recordWorkEnd): the end's tick and verdict and,
// for an end that succeeded, both sides' evidence. Returns the reason the
// end must fail with when the evidence was refused ("terminal_invalid"),
// else null.
const char* recordWorkEnd(Work& work, bool succeeded) noexcept;

// What the exchange's two sides know of a work when its end succeeded, as
// the JSON text of their evidence (left empty when they have none, written
// null). recordWorkEnd asks the side of the work's role: a client work's
// hook fills its own evidence and, when an authenticated terminal frame
// arrived, the server's view that frame carried; a server work's hook gives
// the server evidence. Called on the JavaScript thread with the operation's
// lock held; they take the work's own state lock. A hook throws
// "terminal_invalid" for evidence it must refuse. An unset hook leaves its
// side null.
struct TerminalEvidenceHooks {
  void (*client)(Work& work, std::string& clientEvidence, std::string& serverEvidence) = nullptr;
  std::string (*server)(Work& work) = nullptr;
};
Seam<TerminalEvidenceHooks>& terminalEvidenceHooks();

}  // namespace nuvra
