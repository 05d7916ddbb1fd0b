// timingCheckpoint: JavaScript's own first-line checkpoints of a traced
// startup. It needs no startup profile and may run before initialize.
#include <node_api.h>

#include <string>

#include "addon/frame_napi.h"
#include "custody/timing_trace.h"
#include "custody/timing_trace_win.h"
#include "startup/startup_napi.h"

namespace nuvra {
namespace {

// The longest accepted name, with room to tell a longer one apart.
constexpr std::size_t kStageBuffer = 32;

std::string readStageArgument(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  if (type != napi_string) fail("timing_stage_invalid");
  char buffer[kStageBuffer] = {};
  std::size_t copied = 0;
  napiCheck(napi_get_value_string_utf8(env, value, buffer, sizeof(buffer), &copied));
  // A truncated copy fills the buffer and cannot be one of the names.
  return std::string(buffer, copied);
}

}  // namespace

napi_value timingCheckpoint(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  const std::string stage = readStageArgument(env, arguments[0]);
  if (!timing::isJavaScriptCheckpoint(stage)) fail("timing_stage_invalid");
  recordCheckpoint(stage);
  return makeBoolean(env, true);
}

}  // namespace nuvra
