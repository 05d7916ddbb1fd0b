// The process's one ResidentState: the reservation that makes this runtime
// the only resident of its user, logon, session and home, the broker startup
// ceiling with Expire, the resident job list and the host process. Created by
// reserveResident inside initialize and never destroyed, so the reservation
// thread and every worker thread may read it until the process ends.
//
// Locks: the job list has its own lock, a leaf (nothing is taken under it);
// the host handle is guarded by processLock, which the launch holds when it
// adopts the host; resident diagnostic writes take `writeLock`, never the
// job-list lock.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/handle_win.h"
#include "custody/serialization_win.h"
#include "diagnostics/log_writer_win.h"
#include "launch/launch_win.h"
#include "resident/resident_rules.h"

namespace nuvra {

struct Work;

struct ResidentState {
  ResidentClock clock;
  ResidentPhaseWord phase;
  std::atomic<bool> publicationStarted{false};
  std::atomic<bool> validated{false};
  UniqueHandle releaseEvent;
  UniqueHandle reservedEvent;
  UniqueHandle activationEvent;
  UniqueHandle thread;
  // SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION; under processLock.
  UniqueHandle host;
  ResidentJobList jobs;
  // The reservation's failure: `error` is written once, before `failed` is
  // set; whoever sees `failed` may read it.
  std::string error;
  std::atomic<bool> failed{false};
  std::string nonce;
  std::wstring mutexName;
  // Held for the append of one resident diagnostic write, taken once the
  // serialisation mutex is owned (never while waiting for it).
  std::mutex writeLock;
};

// The state, or null before a reservation was attempted.
ResidentState* residentState() noexcept;

// The resident availability check; returns the tick it checked against.
std::uint64_t checkResidentAvailability();

// The ceiling, or "profile_resident_required".
std::uint64_t residentCeiling();

// initialize, resident role (the startup seam).
void reserveResident(std::uint64_t startTick);

// The deadline rule of serialisation clock 2 (the serialisation seam).
void residentClockRule(std::uint64_t deadline);

// The end of a work whose account-worker revoke completed (the work-end
// seam): while the resident is Pending, the availability check, then the
// validated flag publication requires.
void residentWorkEnded(Work& work);

// A launch's job joins the resident job list, so that Expire and
// endResident end it too (the resident host's and, in resident mode, the
// account worker's). The availability check runs before and again under the
// list's lock.
void registerResidentJob(HANDLE job);

// Every resident job and then this process end with exit code 74.
[[noreturn]] void expireResident(ResidentState& state) noexcept;

// The owner of the resident's own diagnostic writes (its checkpoints and a
// refused publication's line): its write lock (never the job-list lock, so a
// write cannot hold up a launch or Expire), taken once the serialisation
// mutex is owned, the availability check, and the ceiling as a clock-2
// deadline. A write on the JavaScript thread only tries the mutex
// (`atOnce`): owned by another process, it is "profile_owner_wait" at once.
enum class ResidentWriteWait { untilCeiling, atOnce };
std::unique_ptr<LogOwner> residentLogOwner(
    ResidentState& state, ResidentWriteWait wait = ResidentWriteWait::untilCeiling);

// endResident steps 1 to 6; every failure poisons before it is thrown.
void endResidentState();

// The launch context of the resident host (kind 13): the ceiling as clock 2,
// the resident-host record, the job list and the host handle.
class ResidentHostLaunch final : public LaunchContext {
 public:
  void checkDeadline() override;
  void acquireSerialization() override;
  void releaseSerialization() override;
  std::string buildHandoffText(ChildProcess& child, InheritList& inherit) override;
  void registerResidentJob(HANDLE job) override;
  void adoptHostProcess(ChildProcess& child) override;

 private:
  SerializationHold hold_;
};

}  // namespace nuvra
