#include "diagnostics/profile_link_win.h"

#include <mutex>

#include "common/process_state.h"
#include "common/reason.h"
#include "startup/profile_win.h"

namespace nuvra {

bool startupCustodyHeld() {
  // processLock: the acknowledgement and marker fields finishStartup changes.
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  return profile.initialized && !profile.startupAck && !isHandle(profile.workMarker);
}

// Until the serialisation mutex can be held from here no write starts.
std::unique_ptr<LogHome> profileLogHome() { fail("profile_custody_required"); }

}  // namespace nuvra
