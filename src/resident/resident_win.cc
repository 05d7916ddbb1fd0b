#include "resident/resident_win.h"

#include <array>
#include <exception>
#include <memory>

#include "common/crypto_win.h"
#include "common/fault_injection.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/text_win.h"
#include "common/wipe.h"
#include "custody/profile_win.h"
#include "custody/serialization_object_win.h"
#include "launch/handoff_guards.h"
#include "resident/host_record.h"

namespace nuvra {
namespace {

// Access of the host's and the host record's process handles.
constexpr DWORD kSynchronizeAndQuery = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kReleaseWaitMs = 5000;

// Set once by reserveResident and never cleared: every thread that may still
// read the state runs until the process ends.
std::atomic<ResidentState*> residentSlot{nullptr};

HANDLE jobHandle(std::uint64_t value) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

DWORD millisecondsUntil(std::uint64_t tick) noexcept {
  const std::uint64_t now = GetTickCount64();
  return now >= tick ? 0 : static_cast<DWORD>(tick - now);
}

// Stored by the reservation thread, or by reserveResident once the state is
// public, so that a reservation that failed leaves no usable resident.
void storeFailure(ResidentState& state, const char* reason) noexcept {
  try {
    state.error = reason;
  } catch (...) {
    // The flag alone still makes the resident unavailable.
  }
  state.failed.store(true);
}

DWORD WINAPI reservationThread(void* parameter) {
  ResidentState& state = *static_cast<ResidentState*>(parameter);
  UniqueHandle mutex;
  bool owned = false;
  try {
    // 1. Owner-only: nobody else may open the reservation, let alone own it.
    OwnerOnlySecurity security(currentUserSid(), false, "profile_resident_security");
    // 2.
    mutex = UniqueHandle(
        NUVRA_INJECT("resident.reservation", nullptr,
                     CreateMutexW(security.attributes(), FALSE, state.mutexName.c_str())));
    if (!mutex) fail("profile_resident_reservation");
    security.release();
    // 3. A mutex of this name that someone else created fails here.
    requireNonInheritable(mutex.get());
    checkOwnerOnly(mutex.get(), OwnedObject::kernelObject);
    // 4.
    const DWORD waited = WaitForSingleObject(mutex.get(), 0);
    owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (waited != WAIT_OBJECT_0) fail("broker_publication_recovery_required");
    // 5.
    checkResidentAvailability();
  } catch (const std::exception& failure) {
    storeFailure(state, failure.what());
  } catch (...) {
    storeFailure(state, "profile_resident_reservation");
  }
  // 6.
  SetEvent(state.reservedEvent.get());
  // 7. `failed` is read again after the wait: initialize may have given the
  //    reservation up while the thread waited (it then sets the release
  //    event), and a failed reservation holds nothing.
  if (!state.failed.load()) {
    const DWORD waited =
        WaitForSingleObject(state.releaseEvent.get(), millisecondsUntil(state.clock.ceiling));
    ReservationEnd end =
        reservationEnd(state.failed.load(), waited == WAIT_TIMEOUT, state.phase.load());
    if (end == ReservationEnd::expire) {
      if (state.phase.leavePending(ResidentPhase::expired)) expireResident(state);
      // Publication took the phase first.
      end = reservationEnd(state.failed.load(), false, state.phase.load());
    }
    if (end == ReservationEnd::holdUntilEnded) {
      WaitForSingleObject(state.releaseEvent.get(), INFINITE);
    }
  }
  // 8.
  if (owned && !ReleaseMutex(mutex.get())) setPoisoned();
  if (!mutex.closeForCleanup()) setPoisoned();
  return 0;
}

UniqueHandle newEvent() {
  UniqueHandle event(
      NUVRA_INJECT("resident.event", nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!event) fail("profile_resident_event");
  return event;
}

// 3. to 6. of reserveResident: who this resident is and what it waits on.
void prepareState(ResidentState& state) {
  const StartupProfile& profile = startupProfile();
  // 3.
  const ProcessIdentity identity = readProcessIdentity(GetCurrentProcess());
  if (!meetsInteractiveUserRule(identity)) fail("broker_native_peer_refused");
  if (sha256Hex(utf16ToUtf8(identity.user_sid)) != profile.ownerSidHash) {
    fail("profile_observation_identity");
  }
  // 4.
  const std::string key = sha256Hex(
      residentKeyText(homeKey(profile.home), profile.ownerSidHash,
                      authenticationIdHash(identity.authentication_id), identity.session_id));
  state.mutexName = residentMutexName(key);
  // 5. The random bytes exist only as long as it takes to hash them.
  std::array<unsigned char, 32> random{};
  randomBytes(random.data(), random.size(), "profile_resident_nonce");
  try {
    state.nonce =
        sha256Hex(std::string_view(reinterpret_cast<const char*>(random.data()), random.size()));
  } catch (...) {
    wipeBytes(random.data(), random.size());
    throw;
  }
  wipeBytes(random.data(), random.size());
  // 6.
  state.releaseEvent = newEvent();
  state.reservedEvent = newEvent();
  state.activationEvent = newEvent();
  requireNonInheritable(state.releaseEvent.get());
  requireNonInheritable(state.reservedEvent.get());
  requireNonInheritable(state.activationEvent.get());
}

// The write lock is taken after the mutex: a resident write waiting for
// another process must not hold up publishResident's refusal line, which the
// JavaScript thread writes under the same lock.
class ResidentLogOwner final : public LogOwner {
 public:
  ResidentLogOwner(ResidentState& state, ResidentWriteWait wait) : state_(state), wait_(wait) {}
  std::unique_lock<std::mutex> lockOwner() override {
    return std::unique_lock<std::mutex>(state_.writeLock);
  }
  void check() override { checkResidentAvailability(); }
  std::uint64_t deadline() const override { return state_.clock.ceiling; }
  std::uint32_t clock() const override {
    return static_cast<std::uint32_t>(SerializationClock::residentHost);
  }
  bool fencedAtOpen() const override { return false; }
  bool locksAfterSerialization() const override { return true; }
  bool waitsForSerialization() const override { return wait_ == ResidentWriteWait::untilCeiling; }

 private:
  ResidentState& state_;
  ResidentWriteWait wait_;
};

bool terminateJob(std::uint64_t job, std::uint32_t exitCode) noexcept {
  return TerminateJobObject(jobHandle(job), exitCode) != FALSE;
}

}  // namespace

ResidentState* residentState() noexcept {
  return residentSlot.load();
}

std::uint64_t checkResidentAvailability() {
  const ResidentState* state = residentState();
  const std::uint64_t now = GetTickCount64();
  std::optional<ResidentPhase> phase;
  if (state != nullptr) phase = state->phase.load();
  checkResidentAvailable(phase, state != nullptr && state->failed.load(), isPoisoned(), now,
                         state != nullptr ? state->clock.ceiling : 0);
  return now;
}

std::uint64_t residentCeiling() {
  const ResidentState* state = residentState();
  if (state == nullptr) fail("profile_resident_required");
  return state->clock.ceiling;
}

// Called by initialize, which holds processLock; the reservation thread takes
// no lock the caller holds.
void reserveResident(std::uint64_t startTick) {
  // 1.
  if (residentState() != nullptr) fail("profile_resident_duplicate");
  // 2.
  auto created = std::make_unique<ResidentState>();
  created->clock = residentClock(startTick);
  // 3. to 6.
  prepareState(*created);
  // 7. Public from here on, for good.
  ResidentState& state = *created.release();
  residentSlot.store(&state);
  try {
    checkResidentAvailability();
    // 8. The thread may outlive every environment of the module.
    HMODULE module = nullptr;
    if (!NUVRA_INJECT(
            "resident.module", FALSE,
            GetModuleHandleExW(
                GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                reinterpret_cast<LPCWSTR>(reinterpret_cast<std::uintptr_t>(&reservationThread)),
                &module))) {
      fail("profile_resident_module");
    }
    state.thread =
        UniqueHandle(NUVRA_INJECT("resident.thread", nullptr,
                                  CreateThread(nullptr, 0, reservationThread, &state, 0, nullptr)));
    if (!state.thread) fail("profile_resident_thread");
    requireNonInheritable(state.thread.get());
    // 9.
    if (WaitForSingleObject(state.reservedEvent.get(),
                            millisecondsUntil(startupProfile().deadline)) != WAIT_OBJECT_0) {
      fail("profile_resident_reservation");
    }
    // 10. The thread has stored its error before it set the event.
    if (state.failed.load())
      fail(state.error.empty() ? "profile_resident_reservation" : state.error.c_str());
    // 11.
    checkResidentAvailability();
  } catch (const std::exception& failure) {
    // Whatever the thread still does, this resident may not be used, and it
    // holds nothing: the release event wakes a thread already waiting, which
    // lets the reservation go and expires nobody.
    state.failed.store(true);
    SetEvent(state.releaseEvent.get());
    throw;
  }
}

void residentClockRule(std::uint64_t deadline) {
  checkResidentAvailability();
  if (deadline != residentCeiling()) fail("profile_resident_clock");
}

// A work is flagged resident only once the revoke of its adopted account
// worker completed; its end proves the worker can be validated.
void residentWorkEnded(Work&) {
  ResidentState* state = residentState();
  if (state == nullptr || state->phase.load() != ResidentPhase::pending) return;
  checkResidentAvailability();
  state->validated.store(true);
}

std::unique_ptr<LogOwner> residentLogOwner(ResidentState& state, ResidentWriteWait wait) {
  return std::make_unique<ResidentLogOwner>(state, wait);
}

void expireResident(ResidentState& state) noexcept {
  // 1.
  state.phase.set(ResidentPhase::expired);
  // 2.
  state.jobs.expireAll(terminateJob);
  // 3.
  TerminateProcess(GetCurrentProcess(), kResidentExpiredExitCode);
  ExitProcess(kResidentExpiredExitCode);
}

void endResidentState() {
  try {
    // 1.
    ResidentState* state = residentState();
    if (state == nullptr) fail("profile_resident_required");
    // 2.
    state->phase.set(ResidentPhase::ended);
    // 3.
    state->jobs.endAll(terminateJob);
    // 4. A reservation whose thread never started has nothing to wait for.
    if (!SetEvent(state->releaseEvent.get())) fail("profile_cleanup_uncertain");
    if (state->thread &&
        NUVRA_INJECT("resident.release_wait", WAIT_FAILED,
                     WaitForSingleObject(state->thread.get(), kReleaseWaitMs)) != WAIT_OBJECT_0) {
      fail("profile_cleanup_uncertain");
    }
    // 5.
    state->jobs.closeAll([](std::uint64_t job) { return CloseHandle(jobHandle(job)) != FALSE; });
    // 6.
    std::lock_guard<std::mutex> lock(processState().processLock);
    state->host.closeOrFail();
  } catch (...) {
    setPoisoned();
    throw;
  }
}

// ---- The host launch (kind 13) ---------------------------------------------

void ResidentHostLaunch::checkDeadline() {
  checkResidentAvailability();
}

void ResidentHostLaunch::acquireSerialization() {
  nuvra::acquireSerialization(hold_, residentCeiling(), SerializationClock::residentHost);
}

void ResidentHostLaunch::releaseSerialization() {
  nuvra::releaseSerialization(hold_);
}

std::string ResidentHostLaunch::buildHandoffText(ChildProcess&, InheritList& inherit) {
  // 1.
  checkResidentAvailability();
  const StartupProfile& profile = startupProfile();
  // 2.
  const HandoffGuards guards = duplicateProfileGuards(inherit);
  ResidentHostFields fields;
  // 3.
  fields.lifetime = guards.lifetime();
  // 4.
  fields.serialization = handleValue(duplicateForChild(profile.serialization, inherit, 0));
  fields.parent =
      handleValue(duplicateForChild(GetCurrentProcess(), inherit, kSynchronizeAndQuery));
  // 5.
  const ResidentState* state = residentState();
  if (state == nullptr) fail("profile_resident_required");
  fields.activation =
      handleValue(duplicateForChild(state->activationEvent.get(), inherit, SYNCHRONIZE));
  fields.home = utf16ToUtf8(profile.home);
  fields.root = utf16ToUtf8(profile.root);
  fields.ownerSidHash = profile.ownerSidHash;
  fields.payloadDigest = profile.payloadDigest;
  fields.generation = profile.generation;
  fields.deadline = state->clock.ceiling;
  fields.parentPid = GetCurrentProcessId();
  fields.guards = guards.text();
  return residentHostRecord(fields);
}

// 9. of the launch: the job joins the list under its lock, and the
//    availability check runs again before that lock is let go, so an end or
//    Expire in between either sees the job or stops the launch.
void ResidentHostLaunch::registerResidentJob(HANDLE job) {
  nuvra::registerResidentJob(job);
}

void registerResidentJob(HANDLE job) {
  checkResidentAvailability();
  HANDLE duplicate = nullptr;
  if (!NUVRA_INJECT("resident.job_duplicate", FALSE,
                    DuplicateHandle(GetCurrentProcess(), job, GetCurrentProcess(), &duplicate,
                                    JOB_OBJECT_TERMINATE, FALSE, 0))) {
    fail("profile_resident_job");
  }
  ResidentState* state = residentState();
  if (state == nullptr) {
    CloseHandle(duplicate);
    fail("profile_resident_required");
  }
  state->jobs.add(handleValue(duplicate), [] { checkResidentAvailability(); });
}

// 18. of the launch, under processLock.
void ResidentHostLaunch::adoptHostProcess(ChildProcess& child) {
  ResidentState* state = residentState();
  if (state == nullptr) fail("profile_resident_required");
  if (state->host) fail("profile_resident_host_duplicate");
  HANDLE host = nullptr;
  if (!NUVRA_INJECT("resident.host_duplicate", FALSE,
                    DuplicateHandle(GetCurrentProcess(), child.process.get(), GetCurrentProcess(),
                                    &host, kSynchronizeAndQuery, FALSE, 0))) {
    fail("profile_resident_host");
  }
  state->host = UniqueHandle(host);
}

}  // namespace nuvra
