// The home's serialisation mutex and the work fence. Every state-changing
// step of a runtime (opening a work, launching a child, writing a diagnostic
// log, an exchange pass, publication, account control) runs inside one hold:
// the mutex is owned, and the runtime selection this process started with is
// proven to be still the one on disk.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/deadline.h"
#include "common/seam.h"
#include "custody/selection_records_win.h"

namespace nuvra {

// One hold of the serialisation mutex, owned by the caller for one step and
// taken and released on the same thread. Dropping a hold that is still owned
// releases it and swallows the error (a failed release still poisons).
// The deadline rule of a serialisation hold.
enum class SerializationClock : std::uint32_t {
  ordinary = 0,
  jobStartup = 1,
  residentHost = 2,
};

class SerializationHold {
 public:
  SerializationHold() = default;
  SerializationHold(const SerializationHold&) = delete;
  SerializationHold& operator=(const SerializationHold&) = delete;
  ~SerializationHold();

  bool owned() const noexcept { return owned_; }
  SerializationClock clock() const noexcept { return clock_; }

 private:
  friend struct SerializationAccess;
  bool owned_ = false;
  SerializationClock clock_ = SerializationClock::ordinary;
  // The profile's mutex handle, not owned: it lives until the process exits.
  HANDLE mutex_ = nullptr;
};

// What a hold is taken against: the profile's mutex handle, its home, and the
// three record texts the runtime selection was proven with at startup.
struct SerializationTarget {
  HANDLE mutex = nullptr;
  std::wstring home;
  SelectionTexts texts;
};

// The target of the initialized StartupProfile, copied under processLock;
// "profile_custody_required" before initialize has succeeded.
SerializationTarget profileSerializationTarget();

// How long a hold waits for the mutex: until its deadline, or not at all (a
// step on the JavaScript thread, which never waits on another process; a
// mutex owned elsewhere is then "profile_owner_wait" at once).
enum class SerializationWait {
  untilDeadline,
  atOnce,
};

// On return the mutex is owned through `hold`, the fence has passed and the
// deadline still holds under the clock rule.
void acquireSerialization(SerializationHold& hold, std::uint64_t deadline,
                          SerializationClock clock);
// The same against an explicit target (the profile's, or a test's).
void acquireSerialization(SerializationHold& hold, std::uint64_t deadline, SerializationClock clock,
                          const SerializationTarget& target,
                          SerializationWait wait = SerializationWait::untilDeadline);

// Releases if owned; a failed ReleaseMutex poisons the addon and throws
// "profile_owner_release".
void releaseSerialization(SerializationHold& hold);

// Whether this thread owns the serialisation mutex through a hold. Stays set
// after a failure that poisoned the addon, so the thread never takes it again.
bool threadHoldsSerialization() noexcept;

// The deadline rule of `clock`; throws the rule's reason.
void applyClockRule(SerializationClock clock, std::uint64_t deadline);

// Clock 2 is the resident host's: its availability check and startup
// ceiling. Until the resident subsystem installs its rule, a resident-clock
// hold is refused with "profile_resident_unavailable".
struct SerializationHooks {
  void (*residentClockRule)(std::uint64_t deadline) = nullptr;
};
Seam<SerializationHooks>& serializationHooks();

}  // namespace nuvra
