// The JavaScript face of server works: bindServerWork ties a work of role
// "server" to the request line of the client it serves, serverPhase reports
// the server's progress (sealing the terminal phase into its audit file),
// serverOutcome reads what the server knows, and ingressRemaining says how
// much of a client's deadline is left.
#pragma once

#include <node_api.h>

namespace nuvra {

napi_value bindServerWork(napi_env env, napi_callback_info info);
napi_value serverPhase(napi_env env, napi_callback_info info);
napi_value serverOutcome(napi_env env, napi_callback_info info);
napi_value ingressRemaining(napi_env env, napi_callback_info info);

}  // namespace nuvra
