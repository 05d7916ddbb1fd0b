// `finishStartup`: the runtime tells its launcher it is ready, by one byte
// on the acknowledgement pipe, after giving up its hold on the work marker.
#include <mutex>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/profile_win.h"
#include "custody/startup_rules.h"
#include "custody/timing_trace_win.h"
#include "startup/startup_napi.h"

namespace nuvra {
namespace {

// A job startup with an account purpose may acknowledge only once the
// calling environment's worker exists and is ready.
bool accountWorkerReady(const AddonState& state) {
  const auto ready = startupHooks().hooks().accountWorkerReady;
  return ready != nullptr && ready(state);
}

void sendAcknowledgement(StartupProfile& profile) {
  if (!profile.startupAck) return;
  const unsigned char ready = 1;
  DWORD written = 0;
  if (!WriteFile(profile.startupAck.get(), &ready, 1, &written, nullptr) || written != 1) {
    fail("profile_startup_ack");
  }
  recordCheckpoint(kCheckpointStartupAckSent, 0);
  profile.startupAck.closeOrFail();
}

}  // namespace

napi_value finishStartup(napi_env env, napi_callback_info /*info*/) {
  const AddonState& state = addonStateOf(env);
  // processLock: the marker and acknowledgement fields, which beginWork and
  // newDiagnosticEvent read under the same lock.
  std::lock_guard lock(processState().processLock);
  StartupProfile& profile = startupProfile();
  // 1.
  if (!profile.initialized || isPoisoned()) fail("profile_custody_required");
  // 2.
  if (profile.accountPurpose != "none" && !accountWorkerReady(state)) {
    fail("profile_account_not_ready");
  }
  // 3. The work marker stands for "this runtime may start work"; the
  //    launcher sees the runtime's hold on it end before it sees the
  //    acknowledgement.
  closeWorkMarker(profile);
  // 4.
  startup::checkStartupDeadline(GetTickCount64(), profile.deadline, profile.jobStartup);
  // 5.
  sendAcknowledgement(profile);
  // 6.
  return makeBoolean(env, true);
}

Seam<StartupHooks>& startupHooks() {
  static Seam<StartupHooks> seam;
  return seam;
}

}  // namespace nuvra
