// The JavaScript face of managed children: the promise-job handlers of the
// launch (kind 1) and the release (kind 3), and the child lookup.
#pragma once

#include <node_api.h>

#include "addon/jobs_napi.h"

namespace nuvra {

struct ChildProcess;

// The child an id names in this environment; "profile_native_api" for an id
// that is not a number, "child_not_owned" for one not owned here.
ChildProcess& lookupChild(napi_env env, napi_value id);

// Kind 1: launches a managed child on the worker thread; its completion
// gives the child an id and moves it into `children`.
extern const JobHandler kSpawnChildJob;

// Kind 3: releases the job's child on the worker thread.
extern const JobHandler kDisposeChildJob;

}  // namespace nuvra
