#include "resident/publication_win.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "account/account_win.h"
#include "common/fault_injection.h"
#include "common/file_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "custody/serialization_object_win.h"
#include "custody/serialization_win.h"
#include "custody/timing_trace_win.h"
#include "diagnostics/log_writer_win.h"
#include "diagnostics/profile_link_win.h"
#include "resident/broker_files_win.h"
#include "resident/publication_rules.h"
#include "resident/resident_win.h"

namespace nuvra {
namespace {

// GENERIC_WRITE | DELETE | READ_CONTROL: write, rename, check.
constexpr DWORD kTemporaryAccess = 0x40030000;

[[noreturn]] void peerRefused() {
  fail("broker_native_peer_refused");
}

[[noreturn]] void recoveryRequired() {
  fail("broker_publication_recovery_required");
}

// A fact the validation cannot read is a peer it cannot vouch for.
template <typename Read>
auto orPeerRefused(Read&& read) {
  try {
    return read();
  } catch (const ProfileError&) {
    peerRefused();
  }
}

std::string creationText(HANDLE process) {
  return orPeerRefused([process] { return processCreationTime(process); });
}

// What the job compares its directories and file against, copied from the
// profile before the serialisation mutex is taken.
struct PublicationFacts {
  std::wstring home;
  std::uint32_t volume = 0;
  std::wstring userSid;
  std::string nonce;
};

// The handles of steps 8 to 12, closed last opened first, whatever happens.
class OpenedHandles {
 public:
  OpenedHandles() = default;
  OpenedHandles(const OpenedHandles&) = delete;
  OpenedHandles& operator=(const OpenedHandles&) = delete;
  // A failure on the way out: every handle goes; one that would not close
  // poisons the process.
  ~OpenedHandles() {
    if (!closeAll()) setPoisoned();
  }

  HANDLE add(HANDLE handle) {
    handles_.emplace_back(handle);
    return handles_.back().get();
  }

  // Step 15.
  void closeOrFail() {
    if (!closeAll()) {
      setPoisoned();
      fail("profile_close_failed");
    }
  }

 private:
  bool closeAll() noexcept {
    bool closed = true;
    while (!handles_.empty()) {
      closed = handles_.back().closeForCleanup() && closed;
      handles_.pop_back();
    }
    return closed;
  }

  std::vector<UniqueHandle> handles_;
};

HANDLE openDirectory(OpenedHandles& opened, const std::wstring& path) {
  return opened.add(openBrokerDirectory(path).release());
}

void checkRow(HANDLE handle, BrokerObject row, const std::wstring& expected,
              const PublicationFacts& facts) {
  checkBrokerObject(handle, row, expected, {facts.userSid, facts.volume});
}

// Step 11: no "endpoint*" of an earlier run, published or half written.
void requireNoEndpointFiles(const std::wstring& home) {
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileW(endpointSearchPattern(home).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return;
    recoveryRequired();
  }
  FindClose(search);
  recoveryRequired();
}

// An endpoint file that appeared meanwhile is never replaced.
void renameIntoPlace(HANDLE file, const std::wstring& target) {
  if (!renameWithoutReplacing(file, target)) fail("broker_publication_failed");
}

PublicationFacts publicationFacts() {
  PublicationFacts facts;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    const StartupProfile& profile = startupProfile();
    facts.home = profile.home;
    facts.volume = profile.workMarkerVolume;
  }
  const ResidentState* state = residentState();
  if (state == nullptr) fail("profile_resident_unavailable");
  facts.nonce = state->nonce;
  return facts;
}

// Step 4. The busy flag this job holds keeps a dispose from taking the
// worker's child away while it is read; the worker's mutex, only tried, is
// free unless a control exchange still runs.
void requireIdleWorker(Prepared* worker, bool holdsWorker) {
  if (worker == nullptr || !holdsWorker || !worker->ready.load() || worker->stopped.load() ||
      worker->adoptedWork.load() != 0) {
    fail("profile_account_busy");
  }
  std::unique_lock<std::mutex> exchange(worker->mutex, std::try_to_lock);
  if (!exchange.owns_lock()) fail("profile_account_busy");
  if (!workerAlive(*worker)) fail("profile_account_exited");
}

// Step 5: processLock is only tried while the serialisation mutex is held,
// with a 1 ms back-off bounded by the ceiling.
void requireNoLiveWork(bool (*worksTableEmpty)() noexcept) {
  for (;;) {
    if (processState().processLock.try_lock()) {
      const bool empty = worksTableEmpty();
      processState().processLock.unlock();
      if (!empty) fail("profile_resident_work_unsettled");
      return;
    }
    checkResidentAvailability();
    Sleep(1);
  }
}

// Steps 5 and 6 read the host handle under processLock; a duplicate keeps
// it for the zero wait.
UniqueHandle duplicateHost(bool tryOnly) {
  std::unique_lock<std::mutex> lock(processState().processLock, std::defer_lock);
  if (tryOnly) {
    while (!lock.try_lock()) {
      checkResidentAvailability();
      Sleep(1);
    }
  } else {
    lock.lock();
  }
  const ResidentState* state = residentState();
  HANDLE duplicate = nullptr;
  if (state == nullptr || !state->host ||
      !DuplicateHandle(GetCurrentProcess(), state->host.get(), GetCurrentProcess(), &duplicate, 0,
                       FALSE, DUPLICATE_SAME_ACCESS)) {
    fail("broker_native_exited");
  }
  return UniqueHandle(duplicate);
}

void requireRunning(HANDLE host) {
  if (WaitForSingleObject(host, 0) != WAIT_TIMEOUT) fail("broker_native_exited");
}

std::uint64_t tickNow() {
  return GetTickCount64();
}

// Straight to the handle: nothing buffers it, so nothing is left to flush,
// and no flush can wait on a pipe's reader.
void writeStandardError(std::string_view text) noexcept {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

}  // namespace

// ---- The publisher's live facts ---------------------------------------------

void LivePublisherProbe::checkResidentAvailable() {
  checkResidentAvailability();
}

bool LivePublisherProbe::processInJob() {
  BOOL inJob = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob)) fail("broker_endpoint_invalid");
  return inJob != FALSE;
}

void LivePublisherProbe::requireHostRunning() {
  host_ = duplicateHost(false);
  requireRunning(host_.get());
}

std::uint32_t LivePublisherProbe::hostPid() {
  return static_cast<std::uint32_t>(GetProcessId(host_.get()));
}

std::uint32_t LivePublisherProbe::ownPid() {
  return static_cast<std::uint32_t>(GetCurrentProcessId());
}

std::string LivePublisherProbe::hostCreationText() {
  return creationText(host_.get());
}

std::string LivePublisherProbe::ownCreationText() {
  return creationText(GetCurrentProcess());
}

std::string LivePublisherProbe::ownImageHash() {
  return orPeerRefused([] { return imagePathHash(GetCurrentProcess()); });
}

void LivePublisherProbe::requireSameInteractiveIdentity() {
  own_ = orPeerRefused([] { return readProcessIdentity(GetCurrentProcess()); });
  const ProcessIdentity host = orPeerRefused([this] { return readProcessIdentity(host_.get()); });
  if (!meetsInteractiveUserRule(own_) || !meetsInteractiveUserRule(host)) peerRefused();
  sameIdentity(own_, host);
}

PublisherBinding LivePublisherProbe::binding() {
  PublisherBinding binding;
  std::wstring home;
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    const StartupProfile& profile = startupProfile();
    binding.ownerSidHash = profile.ownerSidHash;
    home = profile.home;
  }
  binding.sessionId = own_.session_id;
  binding.authenticationIdHash = authenticationIdHash(own_.authentication_id);
  binding.hostImageHash = orPeerRefused([this] { return imagePathHash(host_.get()); });
  binding.homeKey = homeKey(home);
  return binding;
}

// ---- Kind 14 ------------------------------------------------------------------

void runPublication(const PublicationRun& run) {
  const auto availability = [] { checkResidentAvailability(); };
  // 1. Available, and validated by a revoked work.
  checkResidentAvailability();
  ResidentState& state = *residentState();
  if (!state.validated.load()) fail("profile_resident_validation_required");
  PublicationFacts facts = publicationFacts();
  const NativeTargetSnapshot snapshot = nativeTargetSnapshot();
  // 2.
  SerializationHold hold;
  acquireSerialization(hold, state.clock.ceiling, SerializationClock::residentHost);
  // 3.
  checkNativeTarget(snapshot, run.applicationPath, availability);
  // 4.
  requireIdleWorker(run.account.get(), run.holdsWorker);
  // 5.
  requireNoLiveWork(run.worksTableEmpty);
  // 6.
  requireRunning(duplicateHost(true).get());
  // 7. The descriptors, for the broker directory and the temporary file.
  try {
    facts.userSid = currentUserSid();
  } catch (const ProfileError&) {
    fail("profile_resident_security");
  }
  OwnerOnlySecurity directorySecurity(facts.userSid, true, "profile_resident_security");
  OwnerOnlySecurity fileSecurity(facts.userSid, false, "profile_resident_security");
  checkResidentAvailability();
  OpenedHandles opened;
  // 8. The home.
  checkRow(openDirectory(opened, facts.home), BrokerObject::home, facts.home, facts);
  // 9. "\state".
  const std::wstring stateDirectory = facts.home + L"\\state";
  checkRow(openDirectory(opened, stateDirectory), BrokerObject::state, stateDirectory, facts);
  // 10. "\state\broker", created owner-only when absent.
  const std::wstring brokerDirectory = brokerDirectoryPath(facts.home);
  if (!CreateDirectoryW(brokerDirectory.c_str(), directorySecurity.attributes()) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    recoveryRequired();
  }
  checkRow(openDirectory(opened, brokerDirectory), BrokerObject::broker, brokerDirectory, facts);
  // 11. Nothing of an earlier run is there.
  checkResidentAvailability();
  requireNoEndpointFiles(facts.home);
  // 12. The temporary file, new, named by the nonce.
  checkResidentAvailability();
  const std::wstring temporary = temporaryEndpointPath(facts.home, facts.nonce);
  const HANDLE file =
      CreateFileW(temporary.c_str(), kTemporaryAccess, FILE_SHARE_READ, fileSecurity.attributes(),
                  CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) recoveryRequired();
  opened.add(file);
  requireNonInheritable(file);
  checkRow(file, BrokerObject::file, temporary, facts);
  // 13. The whole record in one write, flushed.
  checkResidentAvailability();
  DWORD written = 0;
  const auto length = static_cast<DWORD>(run.record.size());
  if (!NUVRA_INJECT("publication.write", FALSE,
                    WriteFile(file, run.record.data(), length, &written, nullptr)) ||
      written != length) {
    fail("broker_publication_failed");
  }
  checkResidentAvailability();
  if (!FlushFileBuffers(file)) fail("broker_publication_failed");
  checkResidentAvailability();
  // 14. Into place, never over anything.
  renameIntoPlace(file, endpointPath(facts.home));
  checkResidentAvailability();
  // 15.
  opened.closeOrFail();
  directorySecurity.release();
  fileSecurity.release();
  releaseSerialization(hold);
  // 16. and 17. The file is in place; the host may serve only if the
  //     resident is still inside its ceiling.
  checkResidentAvailability();
  if (finishPublication(state.phase, tickNow, state.clock.ceiling) == PublicationEnd::activate &&
      SetEvent(state.activationEvent.get())) {
    return;
  }
  expireResident(state);
}

// ---- reportPublicationRefused -------------------------------------------------

void reportPublicationRefused(std::string_view reason, PublicationThread thread) noexcept {
  try {
    // 1. and 2.
    const ResidentState* state = residentState();
    std::optional<ResidentClock> clock;
    if (state != nullptr) clock = state->clock;
    const std::string line = publicationRefusedLine(reason, ceilingTimes(clock, GetTickCount64()));
    // 3. As a resident write would, on this thread; a write that cannot be
    //    made (no resident, an unavailable one, logging off, and on the
    //    JavaScript thread a mutex another process owns) leaves the
    //    standard-error line instead.
    bool written = false;
    if (!loggingOff() && state != nullptr) {
      try {
        const ResidentWriteWait wait = thread == PublicationThread::javascript
                                           ? ResidentWriteWait::atOnce
                                           : ResidentWriteWait::untilCeiling;
        DiagnosticWrite write(residentLogOwner(*residentState(), wait), profileLogHome(), line);
        write.execute();
        written = true;
      } catch (...) {
        written = false;
      }
    }
    // 4.
    recordCheckpoint(publicationRefusedCheckpoint(reason));
    // 5.
    if (!written) {
      writeStandardError(publicationRefusedStderrLine(reason));
    }
  } catch (...) {
    // 6.
    writeStandardError(kPublicationRefusedFallbackLine);
  }
}

}  // namespace nuvra
