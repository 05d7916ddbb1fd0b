// The JavaScript face of the resident runtime: `spawnResidentHost` (job
// kind 13), `observeResident` (kind 6), `residentStatus`,
// `residentCheckpoint` (a kind 8 write) and `endResident`.
#pragma once

#include <node_api.h>

#include "addon/jobs_napi.h"

namespace nuvra {

napi_value spawnResidentHost(napi_env env, napi_callback_info info);
napi_value observeResident(napi_env env, napi_callback_info info);
napi_value residentStatus(napi_env env, napi_callback_info info);
napi_value residentCheckpoint(napi_env env, napi_callback_info info);
napi_value endResident(napi_env env, napi_callback_info info);

// Kind 13: launches the resident host; its completion gives it a child id.
extern const JobHandler kResidentHostJob;
// Kind 6: the residency observation of this runtime.
extern const JobHandler kObserveResidentJob;
// Whether a job of kind 6 is observeResident's (the kind is shared with
// observeBroker).
bool isResidentObservation(const NativeJob& job) noexcept;

}  // namespace nuvra
