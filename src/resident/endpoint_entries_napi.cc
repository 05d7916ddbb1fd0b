#include "resident/endpoint_entries_napi.h"

#include <cstdint>
#include <string>
#include <utility>

#include "addon/frame_napi.h"
#include "common/reason.h"

namespace nuvra {
namespace {

// Any string, the empty one included: a key "" is simply not one of the
// eighteen, and the key-set check says so.
std::string utf8Of(napi_env env, napi_value value) {
  std::size_t length = 0;
  napiCheck(napi_get_value_string_utf8(env, value, nullptr, 0, &length));
  std::string text(length + 1, '\0');
  napiCheck(napi_get_value_string_utf8(env, value, text.data(), text.size(), &length));
  text.resize(length);
  return text;
}

}  // namespace

EndpointEntries endpointEntriesOf(napi_env env, napi_value object) {
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, object, &type));
  if (type != napi_object) fail("broker_endpoint_invalid");
  napi_value names = nullptr;
  napiCheck(napi_get_all_property_names(
      env, object, napi_key_own_only,
      static_cast<napi_key_filter>(napi_key_enumerable | napi_key_skip_symbols),
      napi_key_numbers_to_strings, &names));
  std::uint32_t count = 0;
  napiCheck(napi_get_array_length(env, names, &count));
  EndpointEntries entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    napi_value name = nullptr;
    napi_value value = nullptr;
    napiCheck(napi_get_element(env, names, i, &name));
    napiCheck(napi_get_property(env, object, name, &value));
    EndpointEntry entry;
    entry.key = utf8Of(env, name);
    napiCheck(napi_typeof(env, value, &type));
    if (type == napi_string) {
      entry.kind = EndpointKind::string;
      entry.text = utf8Of(env, value);
    } else if (type == napi_number) {
      entry.kind = EndpointKind::number;
      napiCheck(napi_get_value_double(env, value, &entry.number));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace nuvra
