#include "account/account_napi.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "addon/frame_napi.h"
#include "common/crypto_win.h"
#include "common/deadline.h"
#include "common/fault_injection.h"
#include "common/handle_win.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/profile_win.h"
#include "launch/child_process_win.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

// A runtime prepares at most one worker in its life, even when the first
// preparation failed.
std::atomic<bool> accountPrepared{false};

constexpr DWORD kEnvironmentValueLimit = 32767;

bool residentStateExists() {
  const auto exists = accountResidentHooks().hooks().exists;
  return exists != nullptr && exists();
}

const AccountPart* existingAccountPart(const AddonState& state) noexcept {
  const std::size_t index = environmentPartIndex<AccountPart>();
  if (state.parts.size() <= index) return nullptr;
  return static_cast<const AccountPart*>(state.parts[index].get());
}

// Step 6: SystemRoot or WINDIR of this process, present, non-empty and
// shorter than the limit of an environment value.
std::wstring copiedVariable(const wchar_t* name) {
  std::wstring value(kEnvironmentValueLimit + 1, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 || length > kEnvironmentValueLimit) fail("profile_account_environment");
  value.resize(length);
  return value;
}

std::uint64_t workerNonce() {
  std::array<unsigned char, 8> bytes{};
  randomBytes(bytes.data(), bytes.size(), "profile_account_nonce");
  std::uint64_t nonce = 0;
  for (const unsigned char byte : bytes) nonce = (nonce << 8) | byte;
  if (nonce == 0) fail("profile_account_nonce");
  return nonce;
}

// The slot loses the worker only when it still holds this very one.
void emptySlot(AddonState& state, const Prepared& worker) noexcept {
  const std::size_t index = environmentPartIndex<AccountPart>();
  if (state.parts.size() <= index || !state.parts[index]) return;
  auto& part = static_cast<AccountPart&>(*state.parts[index]);
  if (part.worker.get() == &worker) part.worker.reset();
}

// ---- Kind 9 -------------------------------------------------------------------------

void executePrepare(NativeJob& base) {
  AccountJob& job = jobAs<AccountJob>(base);
  launchAccountWorker(job.account, std::move(job.request));
}

napi_value prepareValue(napi_env env, NativeJob& base) {
  AccountJob& job = jobAs<AccountJob>(base);
  checkWorkerDeadline(*job.account);
  const napi_value result = makeObject(env);
  setProperty(env, result, "id", makeUint32(env, job.account->id));
  setProperty(env, result, "pid", makeUint32(env, job.account->child->pid));
  return result;
}

// ---- Kind 10 ------------------------------------------------------------------------

void executeReady(NativeJob& base) {
  awaitWorkerReady(*jobAs<AccountJob>(base).account);
}

napi_value readyValue(napi_env env, NativeJob& base) {
  checkWorkerDeadline(*jobAs<AccountJob>(base).account);
  return makeBoolean(env, true);
}

// ---- Kind 11 ------------------------------------------------------------------------

void executeAdopt(NativeJob& base) {
  AccountJob& job = jobAs<AccountJob>(base);
  adoptExchange(*job.account, *job.work);
}

napi_value adoptValue(napi_env env, NativeJob& base) {
  checkWorkValidity(*jobAs<AccountJob>(base).work);
  return makeBoolean(env, true);
}

// ---- Kind 12 ------------------------------------------------------------------------

void executeRelease(NativeJob& base) {
  AccountJob& job = jobAs<AccountJob>(base);
  revokeExchange(*job.account, *job.work);
}

napi_value releaseValue(napi_env env, NativeJob&) {
  return makeBoolean(env, true);
}

}  // namespace

const JobHandler kPrepareAccountJob{executePrepare, prepareValue, nullptr,
                                    nullptr,        nullptr,      nullptr};
const JobHandler kReadyAccountJob{executeReady, readyValue, nullptr, nullptr, nullptr, nullptr};
const JobHandler kAdoptAccountJob{executeAdopt, adoptValue, nullptr, nullptr, nullptr, nullptr};
const JobHandler kReleaseAccountJob{executeRelease, releaseValue, nullptr,
                                    nullptr,        nullptr,      nullptr};

Seam<AccountHooks>& accountHooks() {
  static Seam<AccountHooks> seam;
  return seam;
}

napi_value prepareAccountWorker(napi_env env, napi_callback_info info) {
  // 1.
  fetchArguments(env, info, 0);
  AddonState& state = addonStateOf(env);
  const bool resident = residentStateExists();
  bool initialized = false, jobStartup = false, ackSent = false, markerHeld = false;
  std::string purpose;
  std::uint64_t startupDeadline = 0;
  std::wstring root;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    const StartupProfile& profile = startupProfile();
    initialized = profile.initialized;
    jobStartup = profile.jobStartup;
    ackSent = !profile.startupAck;
    markerHeld = isHandle(profile.workMarker);
    purpose = profile.accountPurpose;
    startupDeadline = profile.deadline;
    root = profile.root;
  }
  if (!initialized || isPoisoned() || accountPrepared.load()) {
    fail("profile_account_startup_required");
  }
  // 2. Resident mode runs after the acknowledgement, setup mode before it.
  if (resident) {
    const auto checkAvailable = accountResidentHooks().hooks().checkAvailable;
    if (checkAvailable == nullptr) fail("profile_resident_unavailable");
    checkAvailable();
    if (!ackSent || markerHeld) fail("profile_resident_handoff_required");
  } else {
    if (!jobStartup || ackSent || !markerHeld || purpose == "none") {
      fail("profile_account_startup_required");
    }
    requireDeadline(GetTickCount64(), startupDeadline, kJobStartupWindowMs);
  }
  // 3.
  if (accountPrepared.exchange(true)) fail("profile_account_startup_required");
  // 4.
  AccountPart& part = environmentPart<AccountPart>(state);
  if (part.worker) fail("profile_account_duplicate");
  // 5.
  auto worker = std::make_shared<Prepared>();
  worker->mode = resident ? AccountMode::resident : AccountMode::setup;
  if (resident) {
    const auto ceiling = accountResidentHooks().hooks().ceiling;
    if (ceiling == nullptr) fail("profile_resident_required");
    worker->deadline = ceiling();
  } else {
    worker->deadline = startupDeadline;
  }
  const auto takeChildId = accountHooks().hooks().takeChildId;
  worker->id = takeChildId != nullptr ? takeChildId(state) : 0;
  if (worker->id == 0) fail("profile_child_id");
  worker->nonce = workerNonce();
  // 6. The slot takes the worker only once nothing before its launch can
  //    refuse: a worker never launched would stay in it for good, since a
  //    runtime prepares only once.
  auto job = newJob<AccountJob>(JobKind::kPrepareAccountWorker);
  job->resident = resident;
  job->account = std::move(worker);
  job->request.kind = LaunchKind::accountWorker;
  job->request.resident = resident;
  job->request.applicationPath = root + std::wstring(kBrokerRelativePath);
  job->request.arguments = {L"account-worker", std::to_wstring(GetCurrentProcessId())};
  job->request.environment.insert_or_assign(L"SystemRoot", copiedVariable(L"SystemRoot"));
  job->request.environment.insert_or_assign(L"WINDIR", copiedVariable(L"WINDIR"));
  part.worker = job->account;
  // 7.
  return queueJob(env, std::move(job));
}

napi_value readyAccountWorker(napi_env env, napi_callback_info info) {
  // 1.
  fetchArguments(env, info, 0);
  const std::shared_ptr<Prepared> worker = environmentPart<AccountPart>(addonStateOf(env)).worker;
  if (!worker || worker->ready.load() || worker->busy.exchange(true)) {
    fail("profile_account_busy");
  }
  // 2.
  auto job = newJob<AccountJob>(JobKind::kReadyAccountWorker);
  job->resident = worker->mode == AccountMode::resident;
  job->account = worker;
  return queueJob(env, std::move(job));
}

napi_value adoptAccountWorker(napi_env env, napi_callback_info info) {
  // 1.
  const Arguments arguments = fetchArguments(env, info, 1);
  std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  checkWorkValidity(*work);
  // 2.
  if (work->timing.cold) fail("profile_budget_class");
  {
    std::lock_guard<std::mutex> binding(work->bindingLock);
    if (work->accountBinding || work->accountSignal) fail("profile_account_work_reused");
  }
  // 3.
  const std::shared_ptr<Prepared> worker = environmentPart<AccountPart>(addonStateOf(env)).worker;
  if (!worker || !worker->ready.load() || worker->stopped.load()) {
    fail("profile_account_unavailable");
  }
  // 4. From here on a refusal gives the busy flag back.
  if (worker->busy.exchange(true)) fail("profile_account_busy");
  const auto refuse = [&worker](const char* reason) {
    worker->busy.store(false);
    fail(reason);
  };
  if (worker->adoptedWork.load() != 0) refuse("profile_account_busy");
  // 5.
  if (!workerAlive(*worker)) refuse("profile_account_exited");
  // 6.
  UniqueHandle signal(
      NUVRA_INJECT("account.signal_event", nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!signal) refuse("profile_account_signal");
  try {
    requireNonInheritable(signal.get());
  } catch (const ProfileError&) {
    refuse("profile_account_signal");
  }
  // 7.
  {
    std::lock_guard<std::mutex> binding(work->bindingLock);
    work->accountSignal = std::move(signal);
    work->accountBinding = worker;
  }
  // 8. A job that fails to queue is rejected through the hub, which tears
  //    the worker down.
  auto job = newJob<AccountJob>(JobKind::kAdoptAccountWorker);
  job->resident = worker->mode == AccountMode::resident;
  job->account = worker;
  job->work = std::move(work);
  return queueJob(env, std::move(job));
}

napi_value releaseAccountWorker(napi_env env, napi_callback_info info) {
  // 1.
  const Arguments arguments = fetchArguments(env, info, 1);
  std::shared_ptr<Work> work = lookupWork(env, arguments[0]);
  // 2. and 3.
  std::shared_ptr<Prepared> worker;
  bool signalled = true;
  {
    std::lock_guard<std::mutex> binding(work->bindingLock);
    worker = std::move(work->accountBinding);
    if (!worker) fail("profile_account_work_required");
    if (work->accountSignal) {
      signalled = NUVRA_INJECT("account.release_signal", FALSE,
                               SetEvent(work->accountSignal.get())) != FALSE;
    }
  }
  // The binding is already out of the work: a worker left adopted with
  // nothing to revoke it would stay so for good.
  if (!signalled) {
    teardownAccount(*worker, work);
    emptySlot(addonStateOf(env), *worker);
    fail("profile_account_revoke");
  }
  // 4.
  auto job = newJob<AccountJob>(JobKind::kReleaseAccountWorker);
  job->resident = worker->mode == AccountMode::resident;
  job->account = std::move(worker);
  job->work = std::move(work);
  return queueJob(env, std::move(job));
}

void teardownAccount(Prepared& worker, const std::shared_ptr<Work>& work) noexcept {
  // 1. and 2.
  stopWorker(worker);
  // 3.
  if (!work) return;
  {
    std::lock_guard<std::mutex> binding(work->bindingLock);
    if (work->accountSignal) SetEvent(work->accountSignal.get());
    // Set, the event has told the worker all it can; the retained work
    // would otherwise hold it until the process exits.
    work->accountSignal.closeQuietly();
    work->accountBinding.reset();
  }
  retainWork(work);
}

void accountJobFailed(const AccountCarriage& carried) noexcept {
  if (carried.worker == nullptr) return;
  static const std::shared_ptr<Work> kNoWork;
  teardownAccount(*carried.worker, carried.work != nullptr ? *carried.work : kNoWork);
}

void accountJobFinished(const AccountCarriage& carried) noexcept {
  if (carried.worker != nullptr && carried.setsBusy) carried.worker->busy.store(false);
}

void accountJobRejected(napi_env env, const AccountCarriage& carried) noexcept {
  if (carried.worker == nullptr) return;
  accountJobFailed(carried);
  AddonState* state = nullptr;
  if (napi_get_instance_data(env, reinterpret_cast<void**>(&state)) == napi_ok &&
      state != nullptr) {
    emptySlot(*state, *carried.worker);
  }
}

bool accountWorkerReady(const AddonState& state) {
  const AccountPart* part = existingAccountPart(state);
  return part != nullptr && part->worker && part->worker->ready.load() &&
         !part->worker->stopped.load();
}

void revokeEndingWork(WorkJob& job) {
  Work& work = *job.work;
  // The exchange sets the work's revoked flag; the end job reads it once
  // the marker is closed (the resident's validation).
  revokeExchange(*job.account, work);
}

ChildProcess* findAccountChild(AddonState& state, std::uint32_t id) {
  const AccountPart* part = existingAccountPart(state);
  if (part == nullptr || !part->worker || part->worker->id != id) return nullptr;
  if (!part->worker->installed.load()) return nullptr;
  return part->worker->child.get();
}

ChildSlot takeAccountChild(AddonState& state, std::uint32_t id) {
  AccountPart& part = environmentPart<AccountPart>(state);
  const std::shared_ptr<Prepared> worker = part.worker;
  if (!worker || worker->id != id) fail("child_not_owned");
  // A worker with a job in flight or a work lent out is not given up.
  if (worker->busy.load() || worker->adoptedWork.load() != 0) fail("profile_account_busy");
  std::unique_lock<std::mutex> lock(worker->mutex, std::try_to_lock);
  if (!lock.owns_lock()) fail("profile_account_busy");
  worker->stopped.store(true);
  worker->installed.store(false);
  ChildSlot child = std::move(worker->child);
  part.worker.reset();
  return child;
}

void releaseEnvironmentAccount(AddonState& state) noexcept {
  const std::size_t index = environmentPartIndex<AccountPart>();
  if (state.parts.size() <= index || !state.parts[index]) return;
  auto& part = static_cast<AccountPart&>(*state.parts[index]);
  if (!part.worker) return;
  stopWorker(*part.worker);
  part.worker.reset();
}

}  // namespace nuvra
