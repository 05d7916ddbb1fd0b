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
constexpr DWORD kAuditAccess = GENERIC_WRITE | READ_CONTROL;
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

// Steps 4 to 8; throws on any failure, leaving the handles to the caller.
void writePhaseAudit(const ServerExchangeState& state, std::uint64_t workId,
                     const PhaseAuditFacts& facts, UniqueHandle& directory, UniqueHandle& file) {
  // 4. The directory, proved before anything is created in it.
  const std::wstring directoryPath = facts.home + std::wstring(kBrokerStatePath);
  directory = UniqueHandle(CreateFileW(directoryPath.c_str(), kDirectoryAccess,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       kDirectoryFlags, nullptr));
  if (!directory) fail("diagnostic_unavailable");
  checkOpened(directory.get(), directoryPath, true, facts.volumeSerial);

  // 5. Owner-only security for the new file.
  OwnerOnlySecurity security(currentUserSid(), false, "diagnostic_unavailable");

  // 6. CREATE_NEW: an audit already written for this request line stays.
  const std::wstring filePath =
      directoryPath + L"\\" + phaseAuditFileName(sha256Hex(state.bound_request_line));
  file = UniqueHandle(CreateFileW(filePath.c_str(), kAuditAccess, FILE_SHARE_READ,
                                  security.attributes(), CREATE_NEW, kAuditFlags, nullptr));
  security.release();
  if (!file) fail("diagnostic_unavailable");
  checkOpened(file.get(), filePath, false, facts.volumeSerial);

  // 7. The whole image in one write.
  std::string image = phaseAuditImage(phaseAuditLine(state, workId));
  DWORD written = 0;
  if (!WriteFile(file.get(), image.data(), static_cast<DWORD>(image.size()), &written, nullptr) ||
      written != image.size()) {
    fail("diagnostic_unavailable");
  }

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
  try {
    writePhaseAudit(work.server, work.id, facts, directory, file);
    work.server.logging_status = "recorded";
  } catch (...) {
    // 9. Contained: the status stays "unavailable". A handle that will not
    //    close may name something else later; nobody can vouch for that.
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
