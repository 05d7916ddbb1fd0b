// One launched child and everything the addon holds for it. A ChildProcess
// has one owner at a time: the launching job, the environment's `children`
// table, the account worker slot, or its own cleanup work. Whatever owner
// lets go of it without releasing it hands it to the cleanup work, which
// runs releaseChild on the thread pool, so no launched process outlives the
// record that holds its job object.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "common/handle_win.h"
#include "common/wipe.h"
#include "launch/child_slot.h"

namespace nuvra {

// Standard-input writing: one overlapped write at a time.
struct ChildWriteState {
  OVERLAPPED overlapped{};
  // Manual-reset event of `overlapped`.
  UniqueHandle event;
  bool pending = false;
  // Standard input was closed by `end`.
  bool ended = false;
  // The bytes of the current write; wiped before they are let go.
  WipedBytes buffer;
};

struct ChildProcess {
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  UniqueHandle job;
  UniqueHandle process;
  UniqueHandle stdinPipe;
  UniqueHandle stdoutPipe;
  UniqueHandle stderrPipe;
  // Account worker only.
  UniqueHandle controlWrite;
  UniqueHandle controlRead;
  UniqueHandle workerControlRead;
  UniqueHandle workerControlWrite;
  UniqueHandle handoffMapping;
  void* handoffView = nullptr;
  std::uint32_t pid = 0;
  ChildWriteState write;
  // Runs releaseChild on this record on the thread pool; set by prepare.
  PTP_WORK cleanupWork = nullptr;
};

// Closes everything the record holds, in the fixed order: the job first
// (which ends the process tree), a surviving process terminated with 70,
// a pending write cancelled and awaited, the buffer wiped, the handoff
// unmapped and closed, then every handle. False when any step failed; the
// remaining steps still run.
[[nodiscard]] bool releaseChild(ChildProcess& child) noexcept;

// submitChildCleanup (child_slot.h) hands the record to its cleanup work.
// Without a cleanup work (a record whose preparation failed) the release
// runs on the calling thread. A failed release sets `poisoned` and the record
// is kept, never freed while the kernel may still use it.

// A record ready for a launch: the module pinned ("profile_cleanup_module")
// and its cleanup work created ("profile_cleanup_owner_required").
ChildSlot prepareChildProcess();

// Releases the record on this thread, as `dispose` does: true frees it
// together with its cleanup work; false sets `poisoned` and keeps it.
[[nodiscard]] bool releaseAndFreeChild(ChildSlot child) noexcept;

}  // namespace nuvra
