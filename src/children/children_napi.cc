// write, end, poll, kill and dispose. All but dispose run on the JavaScript
// thread against a record in `children` and never block.
#include "children/children_napi.h"

#include <cstring>
#include <span>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "children/child_io_win.h"
#include "common/reason.h"
#include "launch/child_process_win.h"

namespace nuvra {

namespace {

std::uint32_t readChildId(napi_env env, napi_value value) {
  std::uint32_t id = 0;
  napiCheck(napi_get_value_uint32(env, value, &id));
  return id;
}

// A new Buffer holding a copy of `bytes`.
napi_value makeBuffer(napi_env env, const WipedBytes& bytes) {
  void* data = nullptr;
  napi_value buffer = nullptr;
  napiCheck(napi_create_buffer(env, bytes.size(), &data, &buffer));
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return buffer;
}

napi_value streamValue(napi_env env, const std::optional<WipedBytes>& bytes) {
  return bytes ? makeBuffer(env, *bytes) : makeBoolean(env, false);
}

void executeDispose(NativeJob& job) {
  if (!releaseAndFreeChild(std::move(jobAs<ChildJob>(job).child))) fail("profile_cleanup_failed");
}

napi_value disposeValue(napi_env env, NativeJob&) {
  return makeBoolean(env, true);
}

}  // namespace

const JobHandler kDisposeChildJob = {executeDispose, disposeValue, nullptr,
                                     nullptr,        nullptr,      nullptr};

Seam<ChildLookupHooks>& childLookupHooks() {
  static Seam<ChildLookupHooks> seam;
  return seam;
}

ChildProcess& lookupChild(napi_env env, napi_value id) {
  const std::uint32_t key = readChildId(env, id);
  AddonState& state = addonStateOf(env);
  // Another subsystem's child with this id (the account worker) answers first.
  if (const auto find = childLookupHooks().hooks().find) {
    if (ChildProcess* child = find(state, key)) return *child;
  }
  auto& children = environmentPart<ChildrenPart>(state).children;
  const auto found = children.find(key);
  if (found == children.end() || !found->second) fail("child_not_owned");
  return *found->second;
}

napi_value childWrite(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 2);
  ChildProcess& child = lookupChild(env, arguments[0]);
  if (child.write.pending || child.write.ended) fail("stdin_not_writable");
  void* data = nullptr;
  std::size_t length = 0;
  bool isBuffer = false;
  napiCheck(napi_is_buffer(env, arguments[1], &isBuffer));
  if (!isBuffer) fail("profile_native_api");
  napiCheck(napi_get_buffer_info(env, arguments[1], &data, &length));
  return makeBoolean(
      env, writeChildInput(child, std::span(static_cast<const unsigned char*>(data), length)));
}

napi_value childEnd(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  return makeBoolean(env, endChildInput(lookupChild(env, arguments[0])));
}

napi_value childPoll(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  ChildProcess& child = lookupChild(env, arguments[0]);
  const napi_value result = makeObject(env);
  const PollResult polled = pollChild(child);
  setProperty(env, result, "stdout", streamValue(env, polled.stdoutBytes));
  setProperty(env, result, "stderr", streamValue(env, polled.stderrBytes));
  setProperty(env, result, "write_complete", makeBoolean(env, polled.writeComplete));
  if (polled.exitCode) setProperty(env, result, "exit_code", makeUint32(env, *polled.exitCode));
  return result;
}

napi_value childKill(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  return makeBoolean(env, killChild(lookupChild(env, arguments[0])));
}

napi_value childDispose(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  const std::uint32_t id = readChildId(env, arguments[0]);
  AddonState& state = addonStateOf(env);
  auto job = newJob<ChildJob>(JobKind::kDisposeChild);
  // Another subsystem's child gives it up on its own terms.
  const ChildLookupHooks& hooks = childLookupHooks().hooks();
  if (hooks.find != nullptr && hooks.take != nullptr && hooks.find(state, id) != nullptr) {
    job->child = hooks.take(state, id);
    return queueJob(env, std::move(job));
  }
  auto& children = environmentPart<ChildrenPart>(state).children;
  const auto found = children.find(id);
  if (found == children.end() || !found->second) fail("child_not_owned");
  job->child = std::move(found->second);
  children.erase(found);
  return queueJob(env, std::move(job));
}

void releaseEnvironmentChildren(AddonState& state) noexcept {
  if (ChildrenPart* part = existingEnvironmentPart<ChildrenPart>(state)) part->children.clear();
}

}  // namespace nuvra
