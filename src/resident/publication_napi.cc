#include "resident/publication_napi.h"

#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "account/account_napi.h"
#include "addon/frame_napi.h"
#include "addon/json_value_napi.h"
#include "common/fault_injection.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/profile_win.h"
#include "resident/endpoint_entries_napi.h"
#include "resident/publication_rules.h"
#include "resident/resident_win.h"
#include "work/work_napi.h"

namespace nuvra {
namespace {

void executePublication(NativeJob& job) {
  runPublication(jobAs<PublishJob>(job).run);
}

// The state is Published now, so no availability check can pass any more.
napi_value publicationValue(napi_env env, NativeJob&) {
  return makeBoolean(env, true);
}

// Worker thread, after a failed execute step: the refusal is reported before
// it reaches JavaScript.
void publicationFailed(NativeJob& job) noexcept {
  reportPublicationRefused(job.error, PublicationThread::worker);
}

// Steps 1 to 5 on the JavaScript thread.
napi_value startPublication(napi_env env, napi_callback_info info) {
  // 1.
  const Arguments arguments = fetchArguments(env, info, 1);
  checkResidentAvailability();
  // 2. Once per process, whatever becomes of this call.
  if (residentState()->publicationStarted.exchange(true)) {
    fail("profile_resident_publication_duplicate");
  }
  // 3.
  std::string record = readUtf8Argument(env, arguments[0]);
  if (record.size() > kEndpointRecordLimit) fail("broker_endpoint_invalid");
  // 4. A malformed text leaves the engine's exception pending.
  LivePublisherProbe probe;
  validateEndpointForPublication(endpointEntriesOf(env, parseJsonValue(env, record)), probe);
  // 5.
  auto job = newJob<PublishJob>(JobKind::kPublishResident);
  job->run.record = std::move(record);
  job->run.account = environmentPart<AccountPart>(addonStateOf(env)).worker;
  if (job->run.account) job->run.holdsWorker = !job->run.account->busy.exchange(true);
  job->run.worksTableEmpty = worksTableEmpty;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    job->run.applicationPath = startupProfile().root + std::wstring(kBrokerRelativePath);
  }
  return queueJob(env, std::move(job));
}

}  // namespace

const JobHandler kPublishResidentJob = {
    executePublication, publicationValue, publicationFailed, nullptr, nullptr, nullptr};

// Unlike every other entry, a synchronous refusal carries the reason as its
// code too; a pending engine exception (a malformed record) is left to reach
// the caller as it is, since a second throw is refused while one is pending.
napi_value publishResident(napi_env env, napi_callback_info info) {
  try {
    return startPublication(env, info);
  } catch (const std::exception& failure) {
    reportPublicationRefused(failure.what(), PublicationThread::javascript);
    NUVRA_NOTE_REASON(failure.what());
    napi_throw_error(env, failure.what(), failure.what());
  } catch (...) {
    reportPublicationRefused("profile_native_api", PublicationThread::javascript);
    napi_throw_error(env, "profile_native_api", "profile_native_api");
  }
  return nullptr;
}

}  // namespace nuvra
