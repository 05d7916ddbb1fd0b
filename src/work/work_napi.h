// The JavaScript face of works: the work lookup every entry that takes a
// work id uses, the promise-job handlers of the open, end and binding-check
// jobs, and the finaliser step that ends an environment's works.
#pragma once

#include <node_api.h>

#include <cstdint>
#include <memory>

#include "addon/jobs_napi.h"

namespace nuvra {

struct Work;

// Parses a decimal work id, finds it in `works` under processLock and
// requires the calling environment to own it; else "profile_work_required".
std::shared_ptr<Work> lookupWork(napi_env env, napi_value workId);

// Handlers of job kinds 0 (open), 2 (end) and 4 (binding check).
extern const JobHandler kOpenWorkJob;
extern const JobHandler kEndWorkJob;
extern const JobHandler kCheckWorkBindingJob;

// Finaliser: every work of the environment is ended and leaves `works`. A
// work that still holds an adopted account worker poisons the addon and is
// retained until the process exits.
void endEnvironmentWorks(std::uint64_t environmentId) noexcept;

// Completes `object` as the runtime object: "expected_role"
// "managed_runtime", then "home", "codeRoot", "generation", "payload_digest"
// and "native_sha256" as initialize recorded them. Returns `object`.
napi_value completeRuntimeObject(napi_env env, napi_value object);

}  // namespace nuvra
