// The JavaScript face of resident publication: `publishResident` and its
// job of kind 14.
#pragma once

#include <node_api.h>

#include "addon/jobs_napi.h"
#include "resident/publication_win.h"

namespace nuvra {

napi_value publishResident(napi_env env, napi_callback_info info);

// Kind 14. The module reads the account worker it carries, so that a failed
// publication tears the worker down as any failed job that carries it does.
struct PublishJob : NativeJob {
  using NativeJob::NativeJob;
  PublicationRun run;
};
extern const JobHandler kPublishResidentJob;

}  // namespace nuvra
