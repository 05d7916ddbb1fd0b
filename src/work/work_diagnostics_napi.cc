// appendDiagnostic: the JavaScript side's own diagnostic lines for a work,
// written by a job the work owns.
#include <mutex>
#include <string>

#include "addon/frame_napi.h"
#include "addon/jobs_napi.h"
#include "addon/json_value_napi.h"
#include "common/reason.h"
#include "diagnostics/event.h"
#include "diagnostics/events_napi.h"
#include "diagnostics/log_writer_win.h"
#include "diagnostics/profile_link_win.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

// The "event_id" of one line; a line that is not an object has none.
std::string lineEventId(napi_env env, std::string_view line) {
  napi_value value = parseJsonValue(env, line);
  napi_valuetype type = napi_undefined;
  napiCheck(napi_typeof(env, value, &type));
  if (type != napi_object) fail("profile_string");
  return readStringProperty(env, value, "event_id");
}

}  // namespace

napi_value appendDiagnostic(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 2);
  // 1. The work, still valid.
  std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  checkWorkValidity(*work);
  // 2. Whole lines only.
  std::string text = readUtf8Argument(env, arguments[1]);
  const auto lines = diagnosticLines(text);
  // 3. A work that carries an event writes only that event's lines.
  std::shared_ptr<DiagnosticEvent> event;
  {
    // The leaf lock only: a write of this work may hold the work's lock
    // while it waits for another process.
    std::lock_guard<std::mutex> lock(work->bindingLock);
    event = work->diagnosticEvent;
  }
  if (event) {
    for (std::string_view line : lines) {
      if (lineEventId(env, line) != event->token) fail("diagnostic_event_mismatch");
    }
  }
  // 4. The write, owned by the work.
  // The owner keeps the work alive until the write is done.
  auto job = newJob<DiagnosticWriteJob>(JobKind::kAppendDiagnostic);
  job->diagnosticLog.reset(
      new DiagnosticWrite(workLogOwner(work), profileLogHome(), std::move(text)));
  return queueJob(env, std::move(job));
}

}  // namespace nuvra
