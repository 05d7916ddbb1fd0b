// JSON text to JavaScript values through the engine's own JSON.parse, and
// typed reads of an object's properties. JavaScript thread only.
#pragma once

#include <node_api.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

// Whatever JSON.parse returns for the UTF-8 text. Node-API failures are
// "profile_native_api"; when the parse itself throws, the engine's exception
// stays pending and this throws "profile_native_api" as well, which the call
// frame cannot throw over it. Callers wanting their own reason for malformed
// text use takePendingException.
napi_value parseJsonValue(napi_env env, std::string_view text);

// Clears a pending JavaScript exception; true when there was one.
bool takePendingException(napi_env env);

// The named property, any type (undefined when absent); "profile_native_api".
napi_value namedProperty(napi_env env, napi_value object, const char* name);

// A string property of 1 to 262144 UTF-8 bytes without NUL, by the rules of
// readUtf8Argument: "profile_string" or "profile_nul".
std::string readStringProperty(napi_env env, napi_value object, const char* name);

// A handle value given as a canonical decimal string below 2^63-1:
// "profile_integer" when not canonical, "profile_handle" when too large.
std::uint64_t readHandleProperty(napi_env env, napi_value object, const char* name);

}  // namespace nuvra
