// The call frame every JavaScript entry goes through: argument fetch,
// conversion, work, result, and the conversion of a standard exception into a
// thrown Error whose message is the reason code and whose code is unset.
#pragma once

#include <node_api.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "common/fault_injection.h"
#include "common/reason.h"

namespace nuvra {

struct AddonState;

// Any Node-API status other than napi_ok is "profile_native_api".
inline void napiCheck(napi_status status) {
  if (status != napi_ok) fail("profile_native_api");
}

constexpr std::size_t kMaxArguments = 6;

struct Arguments {
  std::array<napi_value, kMaxArguments> values{};
  std::size_t count = 0;
  napi_value operator[](std::size_t index) const { return values.at(index); }
};

// Exactly `expected` arguments, else "arguments_invalid".
Arguments fetchArguments(napi_env env, napi_callback_info info, std::size_t expected);
// Up to `maximum` arguments, else "profile_arguments".
Arguments fetchOptionalArguments(napi_env env, napi_callback_info info, std::size_t maximum);

AddonState& addonStateOf(napi_env env);

// A JavaScript string of 1 to 262144 UTF-8 bytes without NUL.
std::string readUtf8Argument(napi_env env, napi_value value);

napi_value makeString(napi_env env, std::string_view text);
napi_value makeBoolean(napi_env env, bool value);
napi_value makeUint32(napi_env env, std::uint32_t value);
napi_value makeObject(napi_env env);
void setProperty(napi_env env, napi_value object, const char* name, napi_value value);

using FunctionBody = napi_value (*)(napi_env env, napi_callback_info info);

template <FunctionBody body>
napi_value callFrame(napi_env env, napi_callback_info info) {
  try {
    return body(env, info);
  } catch (const std::exception& failure) {
    // With an engine exception already pending (a JSON.parse failure) this
    // throw is refused and the engine's exception reaches the caller.
    NUVRA_NOTE_REASON(failure.what());
    napi_throw_error(env, nullptr, failure.what());
    return nullptr;
  } catch (...) {
    // Nothing may unwind into Node's C frames.
    NUVRA_NOTE_REASON("profile_native_api");
    napi_throw_error(env, nullptr, "profile_native_api");
    return nullptr;
  }
}

}  // namespace nuvra
