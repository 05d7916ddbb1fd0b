// The JavaScript face of the client exchange: prepareBrokerBudget, which
// reads the published endpoint and hands out a one-time budget token, and
// exchange / exchangePhase, which check their arguments and run the native
// exchange as a promise job of kind 7; and what a client work's exchange
// proves: exchangeOutcome and closeClientDispatch.
#pragma once

#include <node_api.h>

#include "addon/jobs_napi.h"

namespace nuvra {

napi_value prepareBrokerBudget(napi_env env, napi_callback_info info);
napi_value exchange(napi_env env, napi_callback_info info);
napi_value exchangePhase(napi_env env, napi_callback_info info);
napi_value exchangeOutcome(napi_env env, napi_callback_info info);
napi_value closeClientDispatch(napi_env env, napi_callback_info info);

// Job kind 7.
extern const JobHandler kExchangeJob;

}  // namespace nuvra
