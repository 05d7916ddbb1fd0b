// The portable rules of the resident runtime: the resident key and the
// reservation mutex name, the broker startup ceiling and its arithmetic, the
// resident state word and availability check, the resident job list, the
// resident startup stages and their diagnostic line, the residentStatus and
// observation texts. Called by resident/resident_win.cc (reservation, Expire,
// endResident), children/launch_win.cc (job list) and resident/resident_napi.cc
// (residentStatus, residentCheckpoint, observeResident).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

constexpr std::uint64_t kBrokerStartupWindowMs = 3000;
// Exit codes imposed on the resident's jobs (and the process) when the
// ceiling passes, and on its jobs when the resident is ended.
constexpr std::uint32_t kResidentExpiredExitCode = 74;
constexpr std::uint32_t kResidentEndedExitCode = 0;

// The text whose SHA-256 is the resident key: the four parts joined by one
// line feed, none at the end.
//   "h", "o", "a", 1   ->   "h\no\na\n1"
std::string residentKeyText(std::string_view homeKey, std::string_view ownerSidHash,
                            std::string_view authenticationIdHash, std::uint32_t sessionId);

// "Global\Nuvra.Resident.V1." + the resident key (64 hex digits).
std::wstring residentMutexName(std::string_view residentKey);

struct ResidentClock {
  std::uint64_t start = 0;    // the native entry tick
  std::uint64_t ceiling = 0;  // start + 3,000
};

ResidentClock residentClock(std::uint64_t startTick) noexcept;

// Time used and left against the ceiling, both from the same tick. A
// difference that would be negative is 0, and so is everything without a
// resident:
//   start 1000, ceiling 4000, now 1500   elapsed 500, remaining 2500
//   start 1000, ceiling 4000, now 4200   elapsed 3200, remaining 0
//   start 1000, ceiling 4000, now 900    elapsed 0, remaining 3100
struct CeilingTimes {
  std::uint64_t elapsed = 0;
  std::uint64_t remaining = 0;
};
CeilingTimes ceilingTimes(const std::optional<ResidentClock>& clock, std::uint64_t now) noexcept;

enum class ResidentPhase : std::uint32_t { pending = 0, published = 1, expired = 2, ended = 3 };

// The state word of the process's one ResidentState. Leaving Pending for
// Published (publication) and for Expired (the reservation thread) are
// compare-and-swap operations, so exactly one of them wins.
class ResidentPhaseWord {
 public:
  ResidentPhase load() const noexcept { return static_cast<ResidentPhase>(word_.load()); }
  // True when this call changed Pending to `to`.
  bool leavePending(ResidentPhase to) noexcept;
  // Expire step 1 and endResident step 2: unconditional.
  void set(ResidentPhase to) noexcept { word_.store(static_cast<std::uint32_t>(to)); }

 private:
  std::atomic<std::uint32_t> word_{0};
};

// What the reservation thread does once its wait for the release event
// ended, read again after the wait: a reservation that failed meanwhile
// (initialize gave up waiting for it, or a later step of it failed) holds
// nothing, so it neither expires the process nor keeps the mutex.
//   failed, any phase, any wait         release
//   ceiling passed, Pending             expire (if the phase is still Pending)
//   Published                           hold until ended, then release
//   released, or Expired or Ended       release
enum class ReservationEnd { release, expire, holdUntilEnded };
ReservationEnd reservationEnd(bool failed, bool ceilingPassed, ResidentPhase phase) noexcept;

// The check every resident operation runs at its start and after each
// blocking step; `phase` is nothing when there is no ResidentState.
// "profile_resident_unavailable" unless Pending, without a stored reservation
// error (a failed reservation holds nothing, so another runtime may hold the
// key) and not poisoned; then "broker_startup_ceiling_expired" when now is at
// or past the ceiling.
void checkResidentAvailable(std::optional<ResidentPhase> phase, bool reservationFailed,
                            bool poisoned, std::uint64_t now, std::uint64_t ceiling);

// The JOB_OBJECT_TERMINATE duplicates of every job launched with the resident
// flag, with the lock that guards them (the ResidentState lock). Handle values
// are carried as integers; the callbacks make the Windows calls.
class ResidentJobList {
 public:
  // Launch step 9: append under the lock and run `recheck` (the resident
  // availability check) before the lock is released, so that a resident
  // ended or expired in between is noticed by the launch, not missed by the
  // termination.
  template <typename Recheck>
  void add(std::uint64_t job, Recheck&& recheck) {
    std::lock_guard<std::mutex> hold(lock_);  // guards jobs_
    jobs_.push_back(job);
    recheck();
  }

  // Expire step 2: every job with exit code 74. A failure does not spare the
  // jobs after it: the process terminates itself next.
  template <typename Terminate>
  void expireAll(Terminate&& terminate) noexcept {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::uint64_t job : jobs_) static_cast<void>(terminate(job, kResidentExpiredExitCode));
  }

  // endResident step 3: in list order with exit code 0; the first failure
  // releases the lock and throws "profile_cleanup_uncertain".
  template <typename Terminate>
  void endAll(Terminate&& terminate) {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::uint64_t job : jobs_) {
      if (!terminate(job, kResidentEndedExitCode)) failCleanup();
    }
  }

  // endResident step 5: close every handle once, empty the list, then throw
  // "profile_close_failed" if any close failed. A handle whose close failed
  // is given up, never closed again.
  template <typename Close>
  void closeAll(Close&& close) {
    std::vector<std::uint64_t> jobs;
    {
      std::lock_guard<std::mutex> hold(lock_);
      jobs.swap(jobs_);
    }
    bool closed = true;
    for (std::uint64_t job : jobs) closed = close(job) && closed;
    if (!closed) failClose();
  }

  std::size_t size() {
    std::lock_guard<std::mutex> hold(lock_);
    return jobs_.size();
  }

 private:
  [[noreturn]] static void failCleanup();
  [[noreturn]] static void failClose();

  std::mutex lock_;
  std::vector<std::uint64_t> jobs_;
};

// The eight stage names residentCheckpoint accepts, compared exactly; any
// other text is "diagnostic_stage_invalid".
void checkResidentStage(std::string_view stage);

// {"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",
//  "stage":…,"elapsed_ms":E,"remaining_ms":R} and a line feed.
std::string residentStageLine(std::string_view stage, const CeilingTimes& times);

// residentStatus: {"remaining_ms":R,"elapsed_ms":E}, each an unsigned 32-bit
// number (the times modulo 2^32).
std::string residentStatusText(const CeilingTimes& times);

// The result text of an observeResident job:
// {"broker_scope":…,"pid":N,"process_creation_filetime":"…","image_path_sha256":"…"}
std::string residencyObservationText(bool inJob, std::uint32_t pid, std::uint64_t creationFiletime,
                                     std::string_view imagePathSha256);

}  // namespace nuvra
