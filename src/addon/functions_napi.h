// Bodies of the JavaScript functions, each defined with its subsystem. The
// registration table wraps every body in the call frame.
#pragma once

#include <node_api.h>

#include <cstddef>

#include "addon/frame_napi.h"

namespace nuvra {

// Stands in for a function whose subsystem is not built yet: the argument
// rules hold, then the call fails with a reason that names the gap.
template <std::size_t count>
napi_value notBuilt(napi_env env, napi_callback_info info) {
  fetchArguments(env, info, count);
  fail("not_built_yet");
}
template <std::size_t maximum>
napi_value notBuiltOptional(napi_env env, napi_callback_info info) {
  fetchOptionalArguments(env, info, maximum);
  fail("not_built_yet");
}
napi_value notBuiltUnchecked(napi_env env, napi_callback_info info);

// Startup profile.
napi_value timingCheckpoint(napi_env env, napi_callback_info info);
napi_value initialize(napi_env env, napi_callback_info info);
napi_value finishStartup(napi_env env, napi_callback_info info);

// Works.
napi_value beginWork(napi_env env, napi_callback_info info);
napi_value endWork(napi_env env, napi_callback_info info);
napi_value checkWorkBinding(napi_env env, napi_callback_info info);

// Local diagnostics.
napi_value newDiagnosticEvent(napi_env env, napi_callback_info info);
napi_value appendIngressDiagnostic(napi_env env, napi_callback_info info);
napi_value closeDiagnosticEvent(napi_env env, napi_callback_info info);
napi_value appendDiagnostic(napi_env env, napi_callback_info info);

// Managed children.
napi_value spawnAsync(napi_env env, napi_callback_info info);
napi_value childWrite(napi_env env, napi_callback_info info);
napi_value childEnd(napi_env env, napi_callback_info info);
napi_value childPoll(napi_env env, napi_callback_info info);
napi_value childKill(napi_env env, napi_callback_info info);
napi_value childDispose(napi_env env, napi_callback_info info);

}  // namespace nuvra
