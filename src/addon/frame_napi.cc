#include "addon/frame_napi.h"

#include <atomic>
#include <cstring>

#include "addon/addon_state.h"

namespace nuvra {
namespace {

constexpr std::size_t kMaxStringBytes = 0x40000;

std::size_t fetchInto(napi_env env, napi_callback_info info, Arguments& arguments,
                      std::size_t room) {
  std::size_t count = room;
  napiCheck(napi_get_cb_info(env, info, &count, room ? arguments.values.data() : nullptr, nullptr,
                             nullptr));
  return count;
}

}  // namespace

Arguments fetchArguments(napi_env env, napi_callback_info info, std::size_t expected) {
  Arguments arguments;
  arguments.count = fetchInto(env, info, arguments, expected);
  if (arguments.count != expected) fail("arguments_invalid");
  return arguments;
}

Arguments fetchOptionalArguments(napi_env env, napi_callback_info info, std::size_t maximum) {
  Arguments arguments;
  arguments.count = fetchInto(env, info, arguments, maximum);
  if (arguments.count > maximum) fail("profile_arguments");
  return arguments;
}

std::size_t nextEnvironmentPartIndex() noexcept {
  static std::atomic<std::size_t> next{0};
  return next.fetch_add(1);
}

AddonState& addonStateOf(napi_env env) {
  void* data = nullptr;
  napiCheck(napi_get_instance_data(env, &data));
  if (data == nullptr) fail("profile_native_state");
  return *static_cast<AddonState*>(data);
}

std::string readUtf8Argument(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  if (type != napi_string) fail("profile_string");
  std::size_t length = 0;
  napiCheck(napi_get_value_string_utf8(env, value, nullptr, 0, &length));
  if (length == 0 || length > kMaxStringBytes) fail("profile_string");
  std::string bytes(length + 1, '\0');
  std::size_t copied = 0;
  napiCheck(napi_get_value_string_utf8(env, value, bytes.data(), bytes.size(), &copied));
  if (copied != length) fail("profile_string");
  bytes.resize(length);
  if (bytes.find('\0') != std::string::npos) fail("profile_nul");
  return bytes;
}

napi_value makeString(napi_env env, std::string_view text) {
  napi_value value = nullptr;
  napiCheck(napi_create_string_utf8(env, text.data(), text.size(), &value));
  return value;
}

napi_value makeBoolean(napi_env env, bool flag) {
  napi_value value = nullptr;
  napiCheck(napi_get_boolean(env, flag, &value));
  return value;
}

napi_value makeUint32(napi_env env, std::uint32_t number) {
  napi_value value = nullptr;
  napiCheck(napi_create_uint32(env, number, &value));
  return value;
}

napi_value makeObject(napi_env env) {
  napi_value value = nullptr;
  napiCheck(napi_create_object(env, &value));
  return value;
}

void setProperty(napi_env env, napi_value object, const char* name, napi_value value) {
  napiCheck(napi_set_named_property(env, object, name, value));
}

}  // namespace nuvra
