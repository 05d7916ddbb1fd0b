// write, end, poll, kill and dispose. All but dispose run on the JavaScript
// thread against a record in `children` and never block.
#include "children/children_napi.h"

#include <cstring>
#include <span>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "addon/functions_napi.h"
#include "children/child_io_win.h"
#include "children/child_process_win.h"
#include "common/reason.h"

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
  if (!releaseAndFreeChild(std::move(job.child))) fail("profile_cleanup_failed");
}

napi_value disposeValue(napi_env env, NativeJob&) {
  return makeBoolean(env, true);
}

}  // namespace

const JobHandler kDisposeChildJob = {executeDispose, disposeValue, nullptr, nullptr, nullptr};

ChildProcess& lookupChild(napi_env env, napi_value id) {
  const std::uint32_t key = readChildId(env, id);
  AddonState& state = addonStateOf(env);
  // Extension point (account worker): an id equal to the account worker's
  // own, with a live process, answers the worker's record first.
  const auto found = state.children.find(key);
  if (found == state.children.end() || !found->second) fail("child_not_owned");
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
  auto job = newJob(JobKind::kDisposeChild);
  // Extension point (account worker): the worker's own id takes the worker
  // out of its slot here, refused with "profile_account_busy" while a work
  // has adopted it.
  const auto found = state.children.find(id);
  if (found == state.children.end() || !found->second) fail("child_not_owned");
  job->child = std::move(found->second);
  state.children.erase(found);
  return queueJob(env, std::move(job));
}

}  // namespace nuvra
