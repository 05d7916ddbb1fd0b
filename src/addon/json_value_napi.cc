#include "addon/json_value_napi.h"

#include <cstdint>

#include "addon/frame_napi.h"
#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

napi_value parseJsonValue(napi_env env, std::string_view text) {
  // 1. Exact length: the text need not be terminated and may hold any byte.
  napi_value source = nullptr;
  napiCheck(napi_create_string_utf8(env, text.data(), text.size(), &source));
  // 2. The global JSON.parse, looked up on every call so that no cached
  //    reference has to be tied to the environment's lifetime.
  napi_value global = nullptr;
  napiCheck(napi_get_global(env, &global));
  napi_value json = namedProperty(env, global, "JSON");
  napi_value parse = namedProperty(env, json, "parse");
  // 3. Called with JSON as the receiver; a malformed text leaves the engine's
  //    exception pending and napi_call_function reports it as a failure.
  napi_value result = nullptr;
  napiCheck(napi_call_function(env, json, parse, 1, &source, &result));
  return result;
}

bool takePendingException(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) return false;
  napi_value ignored = nullptr;
  return napi_get_and_clear_last_exception(env, &ignored) == napi_ok;
}

napi_value namedProperty(napi_env env, napi_value object, const char* name) {
  napi_value value = nullptr;
  napiCheck(napi_get_named_property(env, object, name, &value));
  return value;
}

std::string readStringProperty(napi_env env, napi_value object, const char* name) {
  return readUtf8Argument(env, namedProperty(env, object, name));
}

std::uint64_t readHandleProperty(napi_env env, napi_value object, const char* name) {
  const std::uint64_t value = parseDecimal64(readStringProperty(env, object, name));
  if (value >= 9223372036854775807ull) fail("profile_handle");
  return value;
}

}  // namespace nuvra
