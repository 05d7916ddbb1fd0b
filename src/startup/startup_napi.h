// The JavaScript face of startup: `initialize`, `finishStartup` and
// `timingCheckpoint`, and the seam through which the resident host and the
// account worker take part in a startup without startup naming them.
#pragma once

#include <node_api.h>

#include <cstdint>

#include "common/seam.h"

namespace nuvra {

struct AddonState;

napi_value timingCheckpoint(napi_env env, napi_callback_info info);
napi_value initialize(napi_env env, napi_callback_info info);
napi_value finishStartup(napi_env env, napi_callback_info info);

struct StartupHooks {
  // initialize, resident role, once the parent is proven: reserve residency
  // for this runtime, timed from `startTick`. Throws its reason. Unset: a
  // resident start ends with "profile_resident_unavailable".
  void (*reserveResident)(std::uint64_t startTick) = nullptr;
  // finishStartup of a job startup with an account purpose: whether this
  // environment's account worker exists and is ready. Unset: never, and the
  // acknowledgement is refused with "profile_account_not_ready".
  bool (*accountWorkerReady)(const AddonState& state) = nullptr;
};
Seam<StartupHooks>& startupHooks();

}  // namespace nuvra
