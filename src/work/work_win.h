// A work: one unit of runtime activity this process owns between beginWork
// and endWork. While it is open the process holds the home's work marker
// open, which pins the runtime selection; every later native step names the
// work by id and is refused once it has ended or its budget is spent.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/handle_win.h"
#include "work/exchange_progress.h"
#include "work/server_progress.h"
#include "work/work_rules.h"

namespace nuvra {

class LogOwner;
struct DiagnosticEvent;
struct Prepared;
struct TerminalObservation;

// Shared by `works`, by the jobs that act on it and by the objects bound to
// it. Construction counts against the live work limit.
struct Work {
  Work(std::uint64_t environmentId, const WorkTiming& timing, WorkPurpose purpose);
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
  ~Work();

  // Set under processLock once the custody check passed; 0 until then.
  std::uint64_t id = 0;
  // The environment that began it; no other environment may use it.
  const std::uint64_t environmentId;
  const WorkTiming timing;
  // "client", "server" or "unbound_local".
  const std::string role;
  // One of the six operations, or empty.
  const std::string operation;

  // True from construction until endWork (or the environment's end).
  std::atomic<bool> active{true};
  // Set when a diagnostic event was named but could not be bound.
  std::atomic<bool> diagnosticUnbound{false};

  // lock guards the work record handle and keeps the work's native steps
  // apart. A diagnostic write holds it while it waits for the home's
  // serialisation mutex and a child launch across CreateProcessW, so the
  // JavaScript thread never takes it. Lock order: lock, then processLock,
  // then bindingLock.
  std::mutex lock;
  // The open work marker; set by the open job, closed by the end job.
  UniqueHandle workRecord;

  // bindingLock guards the bindings below, the fields the JavaScript thread
  // touches. It is a leaf: nothing is taken or waited for while it is held.
  std::mutex bindingLock;
  std::shared_ptr<DiagnosticEvent> diagnosticEvent;
  // Kept here for the subsystems that bind to a work; they own the meaning.
  std::weak_ptr<TerminalObservation> terminal;
  std::shared_ptr<Prepared> accountBinding;
  UniqueHandle accountSignal;
  // Set when the worker acknowledged the revoke of this work; the end of
  // such a work validates a pending resident.
  bool accountRevoked = false;

  // stateMutex guards `exchange` (a client work's side) and `server` (a
  // server work's side). It is never held across a pipe wait, a log write or
  // a call into JavaScript; the one file it is held across is the server's
  // write-once phase audit file, so that nobody sees a sealed phase before
  // its audit.
  std::mutex stateMutex;
  ExchangeProgress exchange;
  ServerExchangeState server;
};

// The live works of the process, counted from construction to destruction.
LiveWorkCount& liveWorkCount();

// Work validity with the current tick and the process's poison flag.
void checkWorkValidity(const Work& work);

// What opening the work marker is checked against, copied from the profile
// before the serialisation mutex is taken (while it is owned processLock may
// only be tried).
struct WorkMarkerFacts {
  std::wstring path;  // home + "\state\runtime\work.v1"
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
};

// Opens the marker for reading with read sharing only and proves it is the
// file recorded at startup: owner-only, not a directory or reparse point, one
// link, empty, same volume and index, same final path. "profile_work_open",
// "profile_inheritance", "profile_security", "profile_work_identity".
UniqueHandle openWorkMarker(const WorkMarkerFacts& facts);

// The open job's native step: under the serialisation mutex, open the home's
// work marker, prove it is the file recorded at startup and keep it open in
// the work. "profile_work_open", "profile_work_identity" and the reasons of
// the validity check and of the serialisation hold.
void openWork(Work& work);

// The end job's native step: close the work marker under the work's lock.
// A failed close poisons and is "profile_close_failed".
void closeWork(Work& work);

// The owner of the log writes a work makes (appendDiagnostic, the stage
// records of its exchanges): the work's lock, its validity and its event.
std::unique_ptr<LogOwner> workLogOwner(std::shared_ptr<Work> work);

}  // namespace nuvra
