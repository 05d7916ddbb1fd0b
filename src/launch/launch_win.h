// The one launch routine for every child the addon starts: the managed child
// (kind 1), the account worker (kind 9, created suspended) and the resident
// host (kind 13). It runs on a Node worker thread. Whatever differs between
// the kinds (the deadline rule, the serialisation hold, the handoff record
// and the kind's own steps) comes from the caller's LaunchContext, so the
// sequence itself is written once and can be driven from unit tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/handle_win.h"
#include "custody/timing_trace_win.h"
#include "launch/child_process_win.h"
#include "launch/handoff_guards.h"
#include "launch/launch_text.h"

namespace nuvra {

enum class LaunchKind : std::uint32_t {
  managedChild = 1,
  accountWorker = 9,
  residentHost = 13,
};

struct LaunchRequest {
  LaunchKind kind = LaunchKind::managedChild;
  bool resident = false;
  std::wstring applicationPath;
  std::vector<std::wstring> arguments;
  EnvironmentMap environment;
};

// What a launch asks of the subsystem it launches for. Every member runs on
// the launching thread.
class LaunchContext {
 public:
  virtual ~LaunchContext() = default;

  // The deadline check of the launch's clock; throws its reason.
  virtual void checkDeadline() = 0;
  // Takes the serialisation mutex against the launch's deadline and clock.
  virtual void acquireSerialization() = 0;
  // Releases what acquireSerialization took and clears this thread's
  // ownership mark unless the process is poisoned; a failed release poisons
  // and throws "profile_owner_release".
  virtual void releaseSerialization() = 0;
  // Kind 1: tries the work's own lock, to be held for the rest of the launch;
  // a lock that does not own its mutex when another thread holds it. Once
  // held, the work must still be open ("profile_work_ended").
  virtual std::unique_lock<std::mutex> tryLockOwner() { return {}; }

  // The runtime root, the product home and the owner SID hash of this
  // runtime: the startup profile's, read under processLock, which the launch
  // holds from its lock loop until it releases its locks. Tests launch from
  // a root of their own.
  virtual std::wstring runtimeRoot();
  virtual std::wstring home();
  virtual std::string ownerSidHash();

  // The handoff text of the kind's record. Handles the child must inherit are
  // duplicated onto `inherit`; an account worker's control ends go into `child`.
  virtual std::string buildHandoffText(ChildProcess& child, InheritList& inherit) = 0;
  // Resident launches: keep a terminate-only duplicate of the job with the
  // resident state and re-check its availability.
  virtual void registerResidentJob(HANDLE job) { static_cast<void>(job); }
  // Kind 9: the handoff text with the placeholders of its control ends
  // replaced by the values transferred into the child.
  virtual std::string completeAccountHandoff(const std::string& text, std::uint64_t controlRead,
                                             std::uint64_t controlWrite) {
    static_cast<void>(controlRead);
    static_cast<void>(controlWrite);
    return text;
  }
  // Kind 13: keep the host process in the resident state.
  virtual void adoptHostProcess(ChildProcess& child) { static_cast<void>(child); }
  // A startup timing checkpoint of this process's trace; never throws.
  virtual void checkpoint(std::string_view name) noexcept { recordCheckpoint(name); }
  // Process creation failed and is tried again; never throws.
  virtual void creationRetried(std::string_view name) noexcept { recordRetryCheckpoint(name); }
};

// Runs the launch and returns the child, its standard streams connected and
// its job holding it. Throws a reason code; on failure nothing stays open or
// inheritable in this process and a child already created dies with its job.
ChildSlot launchChild(const LaunchRequest& request, LaunchContext& context);

// The startup profile's guards, each duplicated for the child through
// `inherit`, in the profile's order, the lifetime marker's copy marked.
HandoffGuards duplicateProfileGuards(InheritList& inherit);

// The access a child receives to its work handoff: SECTION_QUERY | SECTION_MAP_READ.
constexpr DWORD kHandoffChildAccess = 5;

}  // namespace nuvra
