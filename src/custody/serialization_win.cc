#include "custody/serialization_win.h"

#include <atomic>
#include <mutex>
#if defined(NUVRA_TESTBED_FAULTS)
#include <string>

#include "common/handle_win.h"
#endif

#include "common/fault_injection.h"
#include "common/identity_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/profile_win.h"
#include "custody/serialization_object_win.h"
#include "custody/servicing_win.h"

namespace nuvra {

// Lets this file reach the private fields of a hold without making them
// public to callers.
struct SerializationAccess {
  static void begin(SerializationHold& hold, SerializationClock clock) noexcept {
    hold.owned_ = false;
    hold.clock_ = clock;
    hold.mutex_ = nullptr;
  }
  static void own(SerializationHold& hold, HANDLE mutex) noexcept {
    hold.mutex_ = mutex;
    hold.owned_ = true;
  }
  // Gives up the hold without releasing the mutex.
  static void abandon(SerializationHold& hold) noexcept { hold.owned_ = false; }
  static bool owned(const SerializationHold& hold) noexcept { return hold.owned_; }
  static HANDLE mutex(const SerializationHold& hold) noexcept { return hold.mutex_; }
  static void disown(SerializationHold& hold) noexcept { hold.owned_ = false; }
};

namespace {

// A Windows mutex lets its owning thread re-enter silently; this flag makes a
// second hold on the same thread a refusal instead of a nested step.
thread_local bool threadHolds = false;

// Releases on the failure paths after the mutex is owned, keeping the
// failure's own reason. A failed release has already poisoned the addon.
void releaseAfterFailure(SerializationHold& hold) noexcept {
  try {
    releaseSerialization(hold);
  } catch (...) {
  }
}

#if defined(NUVRA_TESTBED_FAULTS)
// The benchmarks' count of this process's holds and of how long each was
// owned. When the process ends, a home with a directory "hold-counts" gets a
// file "holds-PID.txt" there: "holds N held_us T longest_us L". The release
// build neither counts nor writes.
class HoldCounter {
 public:
  HoldCounter(const HoldCounter&) = delete;
  HoldCounter& operator=(const HoldCounter&) = delete;
  HoldCounter() = default;
  ~HoldCounter() { write(); }

  void owned(const std::wstring& home) noexcept {
    QueryPerformanceCounter(&threadStart);
    std::lock_guard<std::mutex> lock(mutex_);
    if (home_.empty()) {
      try {
        home_ = home;
      } catch (...) {
      }
    }
  }

  void released() noexcept {
    LARGE_INTEGER end{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    const auto us = static_cast<std::uint64_t>((end.QuadPart - threadStart.QuadPart) * 1000000 /
                                               frequency.QuadPart);
    std::lock_guard<std::mutex> lock(mutex_);
    holds_ += 1;
    heldUs_ += us;
    if (us > longestUs_) longestUs_ = us;
  }

 private:
  void write() noexcept {
    if (holds_ == 0 || home_.empty()) return;
    try {
      const std::wstring path =
          home_ + L"\\hold-counts\\holds-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
      const std::string text = "holds " + std::to_string(holds_) + " held_us " +
                               std::to_string(heldUs_) + " longest_us " +
                               std::to_string(longestUs_) + "\n";
      UniqueHandle file(
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
      DWORD written = 0;
      if (file)
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } catch (...) {
    }
  }

  static thread_local LARGE_INTEGER threadStart;
  std::mutex mutex_;
  std::wstring home_;
  std::uint64_t holds_ = 0;
  std::uint64_t heldUs_ = 0;
  std::uint64_t longestUs_ = 0;
};
thread_local LARGE_INTEGER HoldCounter::threadStart{};

HoldCounter& holdCounter() {
  static HoldCounter counter;
  return counter;
}
#endif

}  // namespace

SerializationHold::~SerializationHold() {
  if (owned_) releaseAfterFailure(*this);
}

bool threadHoldsSerialization() noexcept {
  return threadHolds;
}

Seam<SerializationHooks>& serializationHooks() {
  static Seam<SerializationHooks> seam;
  return seam;
}

void applyClockRule(SerializationClock clock, std::uint64_t deadline) {
  switch (clock) {
    case SerializationClock::ordinary:
      requireDeadline(GetTickCount64(), deadline, kOrdinaryWindowMs);
      return;
    case SerializationClock::jobStartup:
      requireDeadline(GetTickCount64(), deadline, kJobStartupWindowMs);
      return;
    case SerializationClock::residentHost:
      // Without a resident host in this process nothing is available for a
      // resident-clock step.
      if (serializationHooks().hooks().residentClockRule == nullptr) {
        fail("profile_resident_unavailable");
      }
      serializationHooks().hooks().residentClockRule(deadline);
      return;
  }
  fail("profile_startup_timeout");
}

SerializationTarget profileSerializationTarget() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) fail("profile_custody_required");
  return SerializationTarget{profile.serialization,
                             profile.home,
                             {profile.servicingText, profile.currentText, profile.admissionText}};
}

void acquireSerialization(SerializationHold& hold, std::uint64_t deadline,
                          SerializationClock clock) {
  // Checked before the profile is copied, so a re-entry never waits for
  // processLock while this thread owns the mutex.
  SerializationAccess::begin(hold, clock);
  if (isPoisoned() || threadHolds) fail("profile_poisoned");
  acquireSerialization(hold, deadline, clock, profileSerializationTarget());
}

void acquireSerialization(SerializationHold& hold, std::uint64_t deadline, SerializationClock clock,
                          const SerializationTarget& target, SerializationWait waitMode) {
  // 1. Not owned yet; the clock rule is the hold's.
  SerializationAccess::begin(hold, clock);
  // 2. There is no re-entry.
  if (isPoisoned() || threadHolds) fail("profile_poisoned");
  // 3. Deadline rule.
  applyClockRule(clock, deadline);
  // 4.-6. The inherited handle must be the home's named mutex.
  proveSerializationMutex(target.mutex, target.home);
  // 7. Nobody else may hold rights on it.
  checkOwnerOnly(target.mutex, OwnedObject::kernelObject);
  // 8. Deadline rule.
  applyClockRule(clock, deadline);
  // 9. Wait for the time left.
  const std::uint64_t now = GetTickCount64();
  const std::uint64_t left =
      waitMode == SerializationWait::atOnce ? 0 : (deadline > now ? deadline - now : 0);
  const DWORD wait =
      WaitForSingleObject(target.mutex, left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left));
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) fail("profile_owner_wait");
  // 10. Owned by this thread from here on.
  SerializationAccess::own(hold, target.mutex);
  threadHolds = true;
#if defined(NUVRA_TESTBED_FAULTS)
  holdCounter().owned(target.home);
#endif
  // 11. A holder died inside its step: its changes may be half done.
  if (wait == WAIT_ABANDONED) {
    try {
      recoverServicing(target.home);
    } catch (...) {
      // The record could not be marked; keep the mutex owned until this
      // process ends so the next owner finds it abandoned and tries again.
      setPoisoned();
      SerializationAccess::abandon(hold);
      throw;
    }
    releaseSerialization(hold);
    fail("profile_recovery_required");
  }
  try {
    // 12. Deadline rule.
    applyClockRule(clock, deadline);
    // 13. Work fence: the exact texts proven at startup. A record rewritten
    // with the same meaning (another key order, other whitespace) fences too.
    requireUnchangedSelection(target.home, target.texts);
    // 14. Deadline rule.
    applyClockRule(clock, deadline);
  } catch (...) {
    releaseAfterFailure(hold);
    throw;
  }
}

void releaseSerialization(SerializationHold& hold) {
  // 1. Release what this hold owns.
  const bool owned = SerializationAccess::owned(hold);
  if (owned) {
    SerializationAccess::disown(hold);
#if defined(NUVRA_TESTBED_FAULTS)
    holdCounter().released();
#endif
    if (!NUVRA_INJECT("serialization.release", FALSE,
                      ReleaseMutex(SerializationAccess::mutex(hold)))) {
      setPoisoned();
      fail("profile_owner_release");
    }
  }
  // 2. A poisoned addon keeps the flag, so this thread never acquires again.
  // A hold that owned nothing (a refused re-entry) leaves the flag of the
  // hold that does own the mutex alone.
  if (owned && !isPoisoned()) threadHolds = false;
}

}  // namespace nuvra
