#include "custody/profile_win.h"

#include <mutex>
#include <utility>

#include "common/process_state.h"
#include "common/reason.h"

namespace nuvra {

StartupProfile& startupProfile() {
  // Leaked on purpose, like the process state: kept handles must not be
  // closed by static destruction while worker threads may still use them.
  static StartupProfile* const profile = new StartupProfile();
  return *profile;
}

void keepHandle(StartupProfile& profile, HANDLE handle) {
  if (!isHandle(handle)) return;
  for (const UniqueHandle& kept : profile.keptHandles) {
    if (kept.get() == handle) return;
  }
  profile.keptHandles.emplace_back(handle);
}

void closeWorkMarker(StartupProfile& profile) {
  const HANDLE marker = std::exchange(profile.workMarker, nullptr);
  if (!isHandle(marker)) return;
  bool closed = true;
  std::erase_if(profile.keptHandles, [marker, &closed](UniqueHandle& kept) {
    if (kept.get() != marker) return false;
    closed = kept.closeForCleanup();
    return true;
  });
  if (!closed) {
    setPoisoned();
    fail("profile_close_failed");
  }
}

std::uint64_t nativeEntryTick(bool* first) {
  static std::once_flag once;
  static std::uint64_t tick = 0;
  bool took = false;
  std::call_once(once, [&] {
    tick = GetTickCount64();
    took = true;
  });
  if (first != nullptr) *first = took;
  return tick;
}

}  // namespace nuvra
