// The JavaScript face of managed children: `spawnAsync`, `write`, `end`,
// `poll`, `kill` and `dispose`, the promise-job handlers of the launch
// (kind 1) and the release (kind 3), the environment's children, and the
// seam through which another subsystem's child (the account worker) answers
// to a child id.
#pragma once

#include <node_api.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "addon/addon_state.h"
#include "addon/jobs_napi.h"
#include "common/seam.h"
#include "launch/child_slot.h"
#include "launch/launch_text.h"

namespace nuvra {

struct Work;

napi_value spawnAsync(napi_env env, napi_callback_info info);
napi_value childWrite(napi_env env, napi_callback_info info);
napi_value childEnd(napi_env env, napi_callback_info info);
napi_value childPoll(napi_env env, napi_callback_info info);
napi_value childKill(napi_env env, napi_callback_info info);
napi_value childDispose(napi_env env, napi_callback_info info);

// Launched children of this environment by child id. Only the JavaScript
// thread touches them: job completions add, dispose takes out.
struct ChildrenPart : EnvironmentPart {
  std::map<std::uint32_t, ChildSlot> children;
  // Next managed-child id; 0 is never handed out.
  std::uint32_t nextChildId = 1;
};

// Jobs of kinds 1 (launch) and 3 (release).
struct ChildJob : NativeJob {
  using NativeJob::NativeJob;
  // Launch: the work it runs for and what to start.
  std::shared_ptr<Work> work;
  std::wstring applicationPath;
  std::vector<std::wstring> arguments;
  EnvironmentMap environment;
  // The launched child, or the child to release. Dropping the job with a
  // child still here hands it to its cleanup work.
  ChildSlot child;
};

// The child an id names in this environment; "profile_native_api" for an id
// that is not a number, "child_not_owned" for one not owned here.
ChildProcess& lookupChild(napi_env env, napi_value id);

// The completion of a launch of kind 1 or 13: the child takes the next id of
// this environment and moves into `children`; answers {"id": id, "pid": pid}.
// An id of 0 (the counter wrapped) is "profile_child_id".
napi_value installChild(napi_env env, ChildSlot& child);

// Kind 1: launches a managed child on the worker thread; its completion
// gives the child an id and moves it into `children`.
extern const JobHandler kSpawnChildJob;

// Kind 3: releases the job's child on the worker thread.
extern const JobHandler kDisposeChildJob;

// Finaliser: every child still owned goes to its cleanup work, whose release
// closes its job off the JavaScript thread and so ends the process tree.
void releaseEnvironmentChildren(AddonState& state) noexcept;

// Children that other subsystems own but that answer to a child id. Unset:
// only `children` answers.
struct ChildLookupHooks {
  // The live child of another subsystem with this id, or null; asked before
  // `children`.
  ChildProcess* (*find)(AddonState& state, std::uint32_t id) = nullptr;
  // Takes that child out of its owner for `dispose`; throws the owner's
  // refusal ("profile_account_busy"). Called only when `find` answered.
  ChildSlot (*take)(AddonState& state, std::uint32_t id) = nullptr;
};
Seam<ChildLookupHooks>& childLookupHooks();

}  // namespace nuvra
