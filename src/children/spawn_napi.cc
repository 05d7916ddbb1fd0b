// spawnAsync: a managed child launched on behalf of an owned work (job
// kind 1). The arguments are read and checked here, synchronously; the
// launch runs on a worker thread and the child joins `children` when the
// job completes.
#include <memory>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "addon/jobs_napi.h"
#include "children/children_napi.h"
#include "children/managed_launch_win.h"
#include "common/reason.h"
#include "common/text_win.h"
#include "launch/launch_win.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {

namespace {

constexpr std::uint32_t kMaxChildArguments = 64;
constexpr std::uint32_t kMaxChildEnvironment = 32;

std::wstring readWideArgument(napi_env env, napi_value value) {
  return utf8ToUtf16(readUtf8Argument(env, value));
}

// 4. The argument array, in index order.
void readArguments(napi_env env, napi_value array, ChildJob& job) {
  std::uint32_t length = 0;
  napiCheck(napi_get_array_length(env, array, &length));
  if (length > kMaxChildArguments) fail("profile_arguments");
  for (std::uint32_t i = 0; i < length; ++i) {
    napi_value element = nullptr;
    napiCheck(napi_get_element(env, array, i, &element));
    job.arguments.push_back(readWideArgument(env, element));
  }
}

// 5. The environment object, in the order the engine reports its names.
void readEnvironment(napi_env env, napi_value object, ChildJob& job) {
  napi_value names = nullptr;
  napiCheck(napi_get_property_names(env, object, &names));
  std::uint32_t count = 0;
  napiCheck(napi_get_array_length(env, names, &count));
  if (count > kMaxChildEnvironment) fail("profile_environment");
  for (std::uint32_t i = 0; i < count; ++i) {
    napi_value name = nullptr;
    napiCheck(napi_get_element(env, names, i, &name));
    std::wstring wideName = readWideArgument(env, name);
    if (wideName.find(L'=') != std::wstring::npos) fail("profile_environment");
    napi_value value = nullptr;
    napiCheck(napi_get_property(env, object, name, &value));
    job.environment.insert_or_assign(std::move(wideName), readWideArgument(env, value));
  }
}

void executeSpawn(NativeJob& base) {
  ChildJob& job = jobAs<ChildJob>(base);
  LaunchRequest request;
  request.kind = LaunchKind::managedChild;
  request.applicationPath = std::move(job.applicationPath);
  request.arguments = std::move(job.arguments);
  request.environment = std::move(job.environment);
  ManagedChildLaunch context(job.work);
  job.child = launchChild(request, context);
}

napi_value spawnValue(napi_env env, NativeJob& base) {
  ChildJob& job = jobAs<ChildJob>(base);
  checkWorkValidity(*job.work);
  return installChild(env, job.child);
}

}  // namespace

napi_value installChild(napi_env env, ChildSlot& child) {
  ChildrenPart& state = environmentPart<ChildrenPart>(addonStateOf(env));
  const std::uint32_t id = state.nextChildId++;
  if (id == 0 || state.children.count(id) != 0) fail("profile_child_id");
  const napi_value result = makeObject(env);
  setProperty(env, result, "id", makeUint32(env, id));
  setProperty(env, result, "pid", makeUint32(env, child->pid));
  state.children.emplace(id, std::move(child));
  return result;
}

const JobHandler kSpawnChildJob = {executeSpawn, spawnValue, nullptr, nullptr, nullptr, nullptr};

napi_value spawnAsync(napi_env env, napi_callback_info info) {
  // 1.
  const Arguments arguments = fetchArguments(env, info, 4);
  auto job = newJob<ChildJob>(JobKind::kSpawnChild);
  // 2. The owned work, still valid.
  job->work = lookupWork(env, arguments[0]);
  checkWorkValidity(*job->work);
  // 3. to 5.
  job->applicationPath = readWideArgument(env, arguments[1]);
  readArguments(env, arguments[2], *job);
  readEnvironment(env, arguments[3], *job);
  // 6.
  return queueJob(env, std::move(job));
}

}  // namespace nuvra
