// State shared by every JavaScript environment of the process: the one
// process-wide lock and the poison flag. Each subsystem keeps its own
// process-wide table next to its code, guarded by processLock. None of it is
// ever destroyed, so worker threads still running at exit never see it torn
// down.
#pragma once

#include <atomic>
#include <mutex>

namespace nuvra {

struct ProcessState {
  // processLock guards the subsystems' process-wide tables (works, diagnostic
  // events, terminal operations, retained works) and the startup profile. It
  // is held for one table walk, insertion or lookup at a time. While the
  // serialisation mutex is held it is only tried, with a 1 ms back-off.
  // It is never held while JavaScript can run (a JSON.parse, a property read
  // that may hit a getter, a call of the caller's function, a property set):
  // that code may call any entry, which would then wait on this thread's own
  // lock. Entries copy what they need under it and build values after
  // letting go. Nor is it waited for across another process: no holder waits
  // for the serialisation mutex while holding it.
  std::mutex processLock;

  // Set when a cleanup failed or its result is uncertain; never cleared.
  std::atomic<bool> poisoned{false};
};

ProcessState& processState();

inline bool isPoisoned() noexcept {
  return processState().poisoned.load(std::memory_order_seq_cst);
}
inline void setPoisoned() noexcept {
  processState().poisoned.exchange(true, std::memory_order_seq_cst);
}

}  // namespace nuvra
