// The "recover-endpoint" role: removes from a product home's broker folder
// what an earlier resident left there and what is proven stale, so that the
// next resident can publish. Publication itself never removes a file.
//
//   nuvra_windows_broker_native.exe recover-endpoint --home DIR
//
// The resident runtime runs it from its own runtime's broker executable while
// it holds its resident reservation: before it publishes, and once its host
// has exited when it ends cleanly. In this order:
// 1. The reservation of this user, logon, session and home is held (its
//    owner-only mutex exists), so no other resident of the key publishes
//    meanwhile; else "profile_resident_required".
// 2. The home, "\state" and "\state\broker" opened as themselves and checked
//    as publication checks them. No broker folder: nothing to do.
// 3. Every "endpoint*" name in it: "endpoint.json" and "endpoint.<64 hex>.tmp"
//    are opened by handle (delete access, sharing only reading: a
//    publication still writing its temporary file keeps it) and checked as
//    publication checks its temporary file; the record is read through that
//    handle with a client's reading and removed when a process it names no
//    longer lives; a temporary file when it was last written longer ago than
//    the broker startup ceiling plus a margin. The removal goes through the
//    same handle, so it removes exactly the file that was proven stale.
// Standard output: for each removal its resident startup diagnostic line
// ("stage":"stale_endpoint_removed", the file and why it was stale), which
// the runtime appends to its diagnostic log; for each file left,
// {"kept":FILE,"why":WHY}. Exit codes: 0 done (whatever it kept), 2 usage,
// 3 the recovery could not run (its reason on standard error).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "broker_leftovers_win.h"
#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/flat_json.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/serialization_object_win.h"
#include "resident/broker_files_win.h"
#include "resident/endpoint_record.h"
#include "resident/publication_rules.h"
#include "resident/resident_rules.h"
#include "roles.h"
#include "startup_custody_win.h"

namespace nuvra::broker {
namespace {

// DELETE for the removal, the rest to check and read the file.
constexpr DWORD kLeftoverAccess =
    DELETE | READ_CONTROL | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// A client may hold the record open for a moment without sharing deletion.
constexpr int kSharingRetries = 40;
constexpr DWORD kSharingRetryMs = 25;

void writeOut(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

void kept(const std::string& file, std::string_view why) {
  writeOut(RecordBuilder().string("kept", file).string("why", why).line());
}

// 1.
void requireReservationHeld(const std::wstring& home, const ProcessIdentity& identity) {
  const std::string key = sha256Hex(
      residentKeyText(homeKey(home), ownerSidHash(),
                      authenticationIdHash(identity.authentication_id), identity.session_id));
  UniqueHandle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, residentMutexName(key).c_str()));
  if (!mutex) fail("profile_resident_required");
  requireNonInheritable(mutex.get());
  checkOwnerOnly(mutex.get(), OwnedObject::kernelObject);
}

std::uint32_t workMarkerVolume(const std::wstring& home) {
  UniqueHandle marker(CreateFileW((home + std::wstring(kWorkMarkerPath)).c_str(),
                                  FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FileIdentity identity;
  if (!marker || !fileIdentity(marker.get(), identity)) fail("profile_markers");
  return identity.volumeSerial;
}

std::vector<std::wstring> endpointNames(const std::wstring& home) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileW(endpointSearchPattern(home).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return names;
    fail("broker_publication_recovery_required");
  }
  do {
    names.emplace_back(entry.cFileName);
  } while (FindNextFileW(search, &entry));
  const DWORD ended = GetLastError();
  FindClose(search);
  if (ended != ERROR_NO_MORE_FILES) fail("broker_publication_recovery_required");
  return names;
}

// Opened for removal; nothing when it is gone or still in use.
UniqueHandle openLeftover(const std::wstring& path, std::string& why) {
  for (int attempt = 0;; ++attempt) {
    UniqueHandle file(CreateFileW(path.c_str(), kLeftoverAccess, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file) return file;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      why = "gone";
    } else if (error != ERROR_SHARING_VIOLATION) {
      why = "unopened";
    } else if (attempt < kSharingRetries) {
      Sleep(kSharingRetryMs);
      continue;
    } else {
      why = "in_use";
    }
    return UniqueHandle();
  }
}

std::string readOpenRecord(HANDLE file, const FileIdentity& identity) {
  if (identity.size == 0 || identity.size > kEndpointRecordLimit) fail("broker_endpoint_invalid");
  std::string text(static_cast<std::size_t>(identity.size), '\0');
  DWORD read = 0;
  if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ||
      read != text.size()) {
    fail("profile_record_read");
  }
  return text;
}

bool removeThrough(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) !=
         FALSE;
}

struct Recovery {
  std::wstring brokerDirectory;
  BrokerFolderFacts folder;
  ClientFacts client;
};

// 3. One name of the folder.
void recoverOne(const Recovery& recovery, const std::wstring& name) {
  const std::string file = "state\\broker\\" + utf16ToUtf8(name);
  const BrokerFileKind kind = classifyBrokerFile(utf16ToUtf8(name));
  if (kind == BrokerFileKind::other) return kept(file, "not_a_publication_file");
  const std::wstring path = recovery.brokerDirectory + L"\\" + name;
  std::string why;
  UniqueHandle opened = openLeftover(path, why);
  if (!opened) {
    if (why != "gone") kept(file, why);
    return;
  }
  try {
    requireNonInheritable(opened.get());
    checkBrokerObject(opened.get(), BrokerObject::file, path, recovery.folder);
  } catch (const ProfileError& refusal) {
    return kept(file, refusal.what());
  }
  std::string line;
  if (kind == BrokerFileKind::temporary) {
    const std::uint64_t written = lastWriteFiletime(opened.get());
    const std::uint64_t now = nowFiletime();
    if (!temporaryEndpointStale(now, written)) return kept(file, "fresh");
    line = staleTemporaryRemovedLine(file, fileAgeMs(now, written));
  } else {
    RecordProcessProbe probe(recovery.client, false);
    try {
      FileIdentity identity;
      if (!fileIdentity(opened.get(), identity)) fail("profile_record_read");
      readEndpointVerdict(endpointEntries(readJsonObject(readOpenRecord(opened.get(), identity))),
                          probe);
    } catch (const ProfileError&) {
      // Another runtime's record, or no record at all: nothing is proven.
      return kept(file, "unproven");
    }
    const RecordStaleness staleness = probe.staleness();
    if (staleness == RecordStaleness::unproven) return kept(file, "unproven");
    if (staleness == RecordStaleness::live) return kept(file, "live");
    line = staleRecordRemovedLine(file, staleness, probe.gonePid());
  }
  if (!removeThrough(opened.get())) return kept(file, "not_removed");
  if (!opened.closeForCleanup()) fail("profile_close_failed");
  writeOut(line);
}

void recover(const std::wstring& home) {
  Recovery recovery;
  recovery.client.home = home;
  recovery.client.ownerSidHash = ownerSidHash();
  recovery.client.identity = runtimeIdentity();
  // The records this runtime's clients accept name this very executable.
  recovery.client.brokerImageHash = imagePathHash(GetCurrentProcess());
  // 1.
  requireReservationHeld(home, recovery.client.identity);
  // 2.
  recovery.folder.userSid = currentUserSid();
  recovery.folder.volume = workMarkerVolume(home);
  recovery.brokerDirectory = brokerDirectoryPath(home);
  const UniqueHandle homeDirectory = openBrokerDirectory(home);
  checkBrokerObject(homeDirectory.get(), BrokerObject::home, home, recovery.folder);
  const std::wstring stateDirectory = home + L"\\state";
  const UniqueHandle state = openBrokerDirectory(stateDirectory);
  checkBrokerObject(state.get(), BrokerObject::state, stateDirectory, recovery.folder);
  if (GetFileAttributesW(recovery.brokerDirectory.c_str()) == INVALID_FILE_ATTRIBUTES &&
      GetLastError() == ERROR_FILE_NOT_FOUND) {
    return;
  }
  const UniqueHandle broker = openBrokerDirectory(recovery.brokerDirectory);
  checkBrokerObject(broker.get(), BrokerObject::broker, recovery.brokerDirectory, recovery.folder);
  // 3.
  for (const std::wstring& name : endpointNames(home)) recoverOne(recovery, name);
}

}  // namespace

int runEndpointRecovery(int argc, wchar_t** argv) {
  if (argc != 2 || std::wstring_view(argv[0]) != L"--home") {
    std::fputs("usage: nuvra_windows_broker_native recover-endpoint --home DIR\n", stderr);
    return 2;
  }
  try {
    recover(resolveHome(argv[1]));
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "recover-endpoint: %s\n", failure.what());
    return 3;
  }
  return 0;
}

}  // namespace nuvra::broker
