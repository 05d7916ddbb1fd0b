// The members of a parsed endpoint record as the engine holds them, for the
// ordered checks of resident/endpoint_record.h. Shared by the publisher
// (publishResident) and the client's reading (prepareBrokerBudget).
#pragma once

#include <node_api.h>

#include "resident/endpoint_record.h"

namespace nuvra {

// The object's own enumerable string-keyed properties in the engine's order,
// each with its value: strings as UTF-8, numbers as doubles, anything else
// as "other". A value that is not an object is "broker_endpoint_invalid";
// Node-API failures are "profile_native_api".
EndpointEntries endpointEntriesOf(napi_env env, napi_value object);

}  // namespace nuvra
