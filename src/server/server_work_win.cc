#include "server/server_work_win.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/profile_win.h"
#include "diagnostics/log_writer_win.h"
#include "server/server_evidence.h"
#include "server/server_exchange.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

constexpr DWORD kDirectoryAccess = FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD kDirectoryFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// DELETE: the temporary file is renamed into place, or removed.
constexpr DWORD kAuditAccess = GENERIC_WRITE | READ_CONTROL | DELETE;
constexpr DWORD kAuditFlags =
    FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL;

// Every handle of the audit is checked as the log writer checks its own;
// the reason is never seen: the seal contains it.
void checkOpened(HANDLE handle, const std::wstring& path, bool directory,
                 std::uint32_t volumeSerial) {
  requireNonInheritable(handle);
  checkOwnerOnly(handle, directory ? OwnedObject::directory : OwnedObject::file);
  requireDiagnosticObject(handle, path, directory, volumeSerial);
}

std::string temporaryNonce() {
  char bytes[8] = {};
  randomBytes(bytes, sizeof(bytes), "diagnostic_unavailable");
  return hexLower(std::string_view(bytes, sizeof(bytes)));
}

// A temporary file that never became the audit goes, so that nothing but
// whole audits is left behind by a failure this process lives through.
void removeUnplaced(UniqueHandle& file) noexcept {
  if (!file) return;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition));
}

// Steps 4 to 8; throws on any failure, leaving the handles to the caller.
// The image is written under a temporary name and renamed into place without
// replacing anything: killed at any instant, the process leaves the audit
// whole or absent, never a short file the write-once rule would keep torn.
void writePhaseAudit(const ServerExchangeState& state, std::uint64_t workId,
                     const PhaseAuditFacts& facts, UniqueHandle& directory, UniqueHandle& file,
                     bool& placed) {
  // 4. The directory, proved before anything is created in it.
  const std::wstring directoryPath = facts.home + std::wstring(kBrokerStatePath);
  directory = UniqueHandle(CreateFileW(directoryPath.c_str(), kDirectoryAccess,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       kDirectoryFlags, nullptr));
  if (!directory) fail("diagnostic_unavailable");
  checkOpened(directory.get(), directoryPath, true, facts.volumeSerial);

  // 5. Owner-only security for the new file.
  OwnerOnlySecurity security(currentUserSid(), false, "diagnostic_unavailable");

  // 6. A new temporary file; the audit's own name is taken only by the
  //    rename in 7, which fails when an audit of this request line exists
  //    (that one stays untouched).
  const std::string hash = sha256Hex(state.bound_request_line);
  const std::wstring filePath = directoryPath + L"\\" + phaseAuditFileName(hash);
  const std::wstring temporaryPath =
      directoryPath + L"\\" + phaseAuditTemporaryName(hash, temporaryNonce());
  file = UniqueHandle(CreateFileW(temporaryPath.c_str(), kAuditAccess, FILE_SHARE_READ,
                                  security.attributes(), CREATE_NEW, kAuditFlags, nullptr));
  security.release();
  if (!file) fail("diagnostic_unavailable");
  checkOpened(file.get(), temporaryPath, false, facts.volumeSerial);

  // 7. The whole image in one write, on disk before it gets its name.
  std::string image = phaseAuditImage(phaseAuditLine(state, workId));
  DWORD written = 0;
  if (!WriteFile(file.get(), image.data(), static_cast<DWORD>(image.size()), &written, nullptr) ||
      written != image.size() || !FlushFileBuffers(file.get())) {
    fail("diagnostic_unavailable");
  }
  if (!renameWithoutReplacing(file.get(), filePath)) fail("diagnostic_unavailable");
  placed = true;

  // 8.
  const bool fileClosed = file.closeForCleanup();
  const bool directoryClosed = directory.closeForCleanup();
  if (!fileClosed || !directoryClosed) {
    setPoisoned();
    fail("profile_close_failed");
  }
}

}  // namespace

PhaseAuditFacts phaseAuditFacts() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  return {profile.home, profile.workMarkerVolume};
}

void sealServerTerminal(Work& work, std::string_view reason, const PhaseAuditFacts& facts) {
  // 1. to 3.
  if (!sealServerState(work.server, reason, loggingOff())) return;
  UniqueHandle directory;
  UniqueHandle file;
  bool placed = false;
  try {
    writePhaseAudit(work.server, work.id, facts, directory, file, placed);
    work.server.logging_status = "recorded";
  } catch (...) {
    // 9. Contained: the status stays "unavailable". A handle that will not
    //    close may name something else later; nobody can vouch for that.
    if (!placed) removeUnplaced(file);
    if (!file.closeForCleanup() || !directory.closeForCleanup()) setPoisoned();
  }
}

std::string serverEvidence(Work& work) {
  if (work.role != "server") return {};
  std::lock_guard<std::mutex> state(work.stateMutex);
  const ServerExchangeState& server = work.server;
  const std::string hash =
      server.bound_request_line.empty() ? std::string() : sha256Hex(server.bound_request_line);
  return serverEvidenceText(server, work.id, hash);
}

}  // namespace nuvra
