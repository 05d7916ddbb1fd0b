#include "account/account_win.h"

#include <array>
#include <mutex>
#include <utility>

#include "account/idle_account_record.h"
#include "common/deadline.h"
#include "common/fault_injection.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text_win.h"
#include "custody/profile_win.h"
#include "launch/child_process_win.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

constexpr DWORD kControlPipeBytes = 4096;
// The worker waits on its parent and reads its identity, nothing more.
constexpr DWORD kParentAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
static_assert(kParentAccess == 0x00101000);

bool residentMode(const Prepared& worker) noexcept {
  return worker.mode == AccountMode::resident;
}

void checkResidentAvailable() {
  const auto check = accountResidentHooks().hooks().checkAvailable;
  if (check == nullptr) fail("profile_resident_unavailable");
  check();
}

// Nothing is sent to, or awaited from, a worker that is stopped, was never
// installed or has ended.
void requireRunning(const Prepared& worker) {
  if (worker.stopped.load() || !workerAlive(worker)) fail("profile_account_exited");
}

// One pipe of the control pair: both ends kept here, never inheritable; the
// worker's end reaches the worker only by duplication into it.
void createControlPipe(UniqueHandle& readEnd, UniqueHandle& writeEnd) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.bInheritHandle = FALSE;
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!NUVRA_INJECT("account.control_pipe", FALSE,
                    CreatePipe(&read, &write, &attributes, kControlPipeBytes))) {
    fail("profile_account_pipe");
  }
  readEnd = UniqueHandle(read);
  writeEnd = UniqueHandle(write);
}

// The work's marker identity as initialize recorded it; fixed from then on.
struct MarkerFacts {
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
};
MarkerFacts workMarkerFacts() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  return {profile.workMarkerVolume, profile.workMarkerIndex};
}

}  // namespace

Seam<AccountResidentHooks>& accountResidentHooks() {
  static Seam<AccountResidentHooks> seam;
  return seam;
}

bool workerAlive(const Prepared& worker) noexcept {
  if (!worker.installed.load()) return false;
  const ChildProcess* child = worker.child.get();
  return child != nullptr && isHandle(child->process.get()) &&
         WaitForSingleObject(child->process.get(), 0) == WAIT_TIMEOUT;
}

void sendFrame(const Prepared& worker, const ControlFrame& frame) {
  requireRunning(worker);
  const ControlBytes bytes = encodeControlFrame(frame);
  DWORD written = 0;
  if (!WriteFile(worker.child->controlWrite.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                 &written, nullptr) ||
      written != bytes.size()) {
    fail("profile_account_control_write");
  }
}

// Polls instead of blocking in a read, so that a dead worker or a passed
// deadline is noticed within a millisecond.
void awaitReply(const Prepared& worker, std::uint64_t deadline, ControlKind kind,
                std::uint64_t sequence) {
  for (;;) {
    // 1.
    requireRunning(worker);
    // 2.
    if (GetTickCount64() >= deadline) fail("profile_account_control_timeout");
    // 3. A worker that exits closes its end as it goes; only a worker still
    //    running has closed it on purpose.
    const HANDLE pipe = worker.child->controlRead.get();
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      requireRunning(worker);
      fail("profile_account_control_eof");
    }
    // 4. and 5.
    if (!replyReady(available)) {
      Sleep(1);
      continue;
    }
    // 6.
    std::array<std::uint8_t, kControlFrameSize> bytes{};
    DWORD read = 0;
    if (!ReadFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
    checkReply(std::span<const std::uint8_t>(bytes.data(), read), kind, sequence, worker.nonce);
    return;
  }
}

void checkWorkerDeadline(const Prepared& worker) {
  if (residentMode(worker)) {
    checkResidentAvailable();
    return;
  }
  requireDeadline(GetTickCount64(), worker.deadline, kJobStartupWindowMs);
}

// ---- Kind 9: the launch ----------------------------------------------------

void AccountLaunch::checkDeadline() {
  checkWorkerDeadline(*worker_);
}

void AccountLaunch::acquireSerialization() {
  nuvra::acquireSerialization(
      hold_, worker_->deadline,
      residentMode(*worker_) ? SerializationClock::residentHost : SerializationClock::jobStartup);
}

void AccountLaunch::releaseSerialization() {
  nuvra::releaseSerialization(hold_);
}

std::string AccountLaunch::buildHandoffText(ChildProcess& child, InheritList& inherit) {
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) fail("profile_custody_required");
  // 1. The guards, each with a duplicate the worker inherits.
  const HandoffGuards guards = duplicateProfileGuards(inherit);
  // 2.
  const std::uint64_t lifetime = guards.lifetime();
  // 3. The request pipe (addon writes, worker reads), then the reply pipe.
  createControlPipe(child.workerControlRead, child.controlWrite);
  createControlPipe(child.controlRead, child.workerControlWrite);
  for (const UniqueHandle* end : {&child.workerControlRead, &child.controlWrite, &child.controlRead,
                                  &child.workerControlWrite}) {
    requireNonInheritable(end->get());
  }
  // 4.
  const HANDLE serialization = duplicateForChild(profile.serialization, inherit, 0);
  const HANDLE parent = duplicateForChild(GetCurrentProcess(), inherit, kParentAccess);
  // 5. The control values stay "0" until the worker exists.
  IdleAccountFields fields;
  fields.home = utf16ToUtf8(profile.home);
  fields.root = utf16ToUtf8(profile.root);
  fields.ownerSidHash = profile.ownerSidHash;
  fields.payloadDigest = profile.payloadDigest;
  fields.generation = profile.generation;
  fields.deadline = worker_->deadline;
  fields.startupMode = static_cast<std::uint32_t>(worker_->mode);
  fields.instanceNonce = worker_->nonce;
  fields.serialization = handleValue(serialization);
  fields.lifetime = lifetime;
  fields.parent = handleValue(parent);
  fields.parentPid = GetCurrentProcessId();
  fields.workVolume = profile.workMarkerVolume;
  fields.workId = profile.workMarkerIndex;
  fields.guards = guards.text();
  return idleAccountRecord(fields);
}

void AccountLaunch::registerResidentJob(HANDLE job) {
  const auto registerJob = accountResidentHooks().hooks().registerJob;
  if (registerJob == nullptr) fail("profile_resident_unavailable");
  registerJob(job);
}

std::string AccountLaunch::completeAccountHandoff(const std::string& text,
                                                  std::uint64_t controlRead,
                                                  std::uint64_t controlWrite) {
  return fillControlHandle(fillControlHandle(text, "control_read", controlRead), "control_write",
                           controlWrite);
}

void launchAccountWorker(const std::shared_ptr<Prepared>& worker, LaunchRequest request) {
  AccountLaunch context(worker);
  ChildSlot child = launchChild(request, context);
  worker->child = std::move(child);
  worker->installed.store(true);
}

// ---- Kind 10: ready ----------------------------------------------------------

void awaitWorkerReady(Prepared& worker) {
  if (residentMode(worker)) checkResidentAvailable();
  awaitReply(worker, worker.deadline, ControlKind::ready, 0);
  checkWorkerDeadline(worker);
  worker.ready.store(true);
}

// ---- Kind 11: adopt ------------------------------------------------------------

void adoptExchange(Prepared& worker, Work& work) {
  const MarkerFacts marker = workMarkerFacts();
  // 1. Another exchange is running: refused at once, never waited for.
  std::unique_lock<std::mutex> workerLock(worker.mutex, std::try_to_lock);
  if (!workerLock.owns_lock()) fail("profile_account_busy");
  // 2.
  requireRunning(worker);
  if (!worker.ready.load() || worker.adoptedWork.load() != 0) fail("profile_account_busy");
  // 3. The work's lock before the serialisation mutex: a diagnostic write of
  //    the same work holds its lock while it waits for the mutex, so taking
  //    them the other way round could hold the adopt until its deadline.
  checkWorkValidity(work);
  std::unique_lock<std::mutex> workLock(work.lock);
  SerializationHold hold;
  acquireSerialization(hold, work.timing.deadline, SerializationClock::ordinary);
  checkWorkValidity(work);
  // 4.
  if (!work.workRecord) fail("profile_work_ended");
  // 5.
  worker.sequence = nextAdoptSequence(worker.sequence);
  worker.adoptedWork.store(work.id);
  // 6. The worker may only wait on the event.
  HANDLE remoteSignal = nullptr;
  {
    std::lock_guard<std::mutex> binding(work.bindingLock);
    if (!isHandle(work.accountSignal.get()) ||
        !NUVRA_INJECT(
            "account.signal_transfer", FALSE,
            DuplicateHandle(GetCurrentProcess(), work.accountSignal.get(),
                            worker.child->process.get(), &remoteSignal, SYNCHRONIZE, FALSE, 0))) {
      fail("profile_account_signal");
    }
  }
  // 7.
  AdoptTerms terms;
  terms.sequence = worker.sequence;
  terms.workId = work.id;
  terms.workDeadline = work.timing.deadline;
  terms.volumeSerial = marker.volume;
  terms.fileIndex = marker.index;
  terms.nonce = worker.nonce;
  terms.signalHandle = handleValue(remoteSignal);
  const ControlFrame adopt = adoptFrame(terms);
  // 8.
  releaseSerialization(hold);
  // 9.
  sendFrame(worker, adopt);
  workLock.unlock();
  // 10.
  awaitReply(worker, work.timing.deadline, ControlKind::adopted, terms.sequence);
  // 11.
  checkWorkValidity(work);
}

// ---- Kinds 12 and 2: revoke ------------------------------------------------------

bool revokeExchange(Prepared& worker, Work& work) {
  // 1. The worker learns through its second channel first.
  {
    std::lock_guard<std::mutex> binding(work.bindingLock);
    if (work.accountSignal &&
        !NUVRA_INJECT("account.revoke_signal", FALSE, SetEvent(work.accountSignal.get()))) {
      fail("profile_account_revoke");
    }
  }
  // 2. Polled, never waited on without a bound. An adopt of this work that
  //    is still queued or running (its busy flag is set) goes first: a
  //    revoke that found nothing adopted before the adopt ran would leave
  //    the worker holding a work whose binding is gone, which nothing could
  //    take back any more. Once the flag is clear the adopt has ended,
  //    adopted or torn down, and the revoke sees which.
  std::unique_lock<std::mutex> workerLock(worker.mutex, std::defer_lock);
  while (worker.busy.load() || !workerLock.try_lock()) {
    if (GetTickCount64() >= work.timing.deadline) fail("profile_account_control_timeout");
    Sleep(1);
  }
  // 3.
  const std::uint64_t adopted = worker.adoptedWork.load();
  if (adopted == 0) return false;
  // 3.1.
  if (adopted != work.id) fail("profile_account_work_owner");
  // 3.2.
  if (GetTickCount64() >= work.timing.deadline) fail("profile_account_control_timeout");
  // 3.3.
  sendFrame(worker, revokeFrame(worker.sequence, work.id, worker.nonce));
  // 3.4.
  awaitReply(worker, work.timing.deadline, ControlKind::revoked, worker.sequence);
  // 3.5.
  worker.adoptedWork.store(0);
  {
    std::lock_guard<std::mutex> binding(work.bindingLock);
    work.accountBinding.reset();
    work.accountRevoked = true;
  }
  // 4. The worker's lock goes with `workerLock`.
  return true;
}

// ---- Teardown ---------------------------------------------------------------------

void stopWorker(Prepared& worker) noexcept {
  // 1.
  setPoisoned();
  // 2.
  worker.stopped.store(true);
  if (worker.installed.load()) {
    const ChildProcess* child = worker.child.get();
    if (child != nullptr && isHandle(child->process.get())) {
      TerminateProcess(child->process.get(), 70);
    }
  }
}

}  // namespace nuvra
