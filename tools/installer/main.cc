// nuvra_install_home.exe: lays out a product home the way the product's
// installer does, with the security each file needs.
//
//   nuvra_install_home --home DIR --node NODE.EXE --broker BROKER.EXE
//       [--version V] [--generation G] [--session-id S] [--device-id D]
//       [--consumer-id C] [--result FILE]
//   nuvra_install_home --write-record PATH --from FILE
//   nuvra_install_home --repair --home DIR
//
// The first form creates DIR (which must not exist yet; its parent must) and
// in it, every directory and file owner-only:
//   runtime\<V>\runtime\node\node.exe           a copy of NODE.EXE
//   runtime\<V>\connector\vevadu-code\client\nuvra_windows_broker_native.exe
//                                               a copy of BROKER.EXE
//   runtime\current                             the selected version
//   state\runtime\lifetime.v1, work.v1          empty markers
//   state\runtime\admission.json                the payload's files and digests
//   state\runtime\servicing.json                state "COMMITTED", written last
//   windows-device-auth.json                    the device binding
// and writes one JSON line describing the installation to FILE (and to
// standard output). The second form replaces one record with the bytes of
// FILE, owner-only, through a temporary file and an atomic rename. The third
// is the servicing side's repair of a home left in "RECOVERY_REQUIRED" (see
// repair_win.cc; its exit code 1 means a file did not verify).
//
// Exit codes: 0 done, 2 usage, 3 failed (the reason code on standard error).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/serialization_object_win.h"
#include "install_files_win.h"
#include "repair_win.h"
#include "shared/home_records.h"

namespace {

using nuvra::fail;
using nuvra::OwnerOnlySecurity;
using nuvra::UniqueHandle;
using nuvra::installer::randomHex;
using nuvra::installer::readWholeFile;
using nuvra::installer::replaceRecord;
using nuvra::installer::writeNewFile;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct InstallOptions {
  std::wstring home;
  std::wstring node;
  std::wstring broker;
  std::string version = "1.0.0";
  std::string generation = "1";
  std::string sessionId;
  std::string deviceId;
  std::string consumerId;
  std::wstring result;
  std::wstring writeRecord;
  std::wstring from;
  bool repair = false;
};

std::string narrow(const std::wstring& text) {
  if (text.empty()) throw UsageError("an argument is empty");
  try {
    return nuvra::utf16ToUtf8(text);
  } catch (const std::exception&) {
    throw UsageError("an argument is not valid UTF-16");
  }
}

InstallOptions parse(int argc, wchar_t** argv) {
  InstallOptions options;
  for (int at = 1; at < argc; ++at) {
    const std::wstring_view name = argv[at];
    if (name == L"--repair") {
      options.repair = true;
      continue;
    }
    if (at + 1 >= argc) throw UsageError("a switch is missing its value");
    const std::wstring value = argv[++at];
    if (name == L"--home") {
      options.home = value;
    } else if (name == L"--node") {
      options.node = value;
    } else if (name == L"--broker") {
      options.broker = value;
    } else if (name == L"--version") {
      options.version = narrow(value);
    } else if (name == L"--generation") {
      options.generation = narrow(value);
    } else if (name == L"--session-id") {
      options.sessionId = narrow(value);
    } else if (name == L"--device-id") {
      options.deviceId = narrow(value);
    } else if (name == L"--consumer-id") {
      options.consumerId = narrow(value);
    } else if (name == L"--result") {
      options.result = value;
    } else if (name == L"--write-record") {
      options.writeRecord = value;
    } else if (name == L"--from") {
      options.from = value;
    } else {
      throw UsageError("unknown switch");
    }
  }
  if (options.repair) {
    if (options.home.empty() || argc != 4) throw UsageError("--repair takes --home DIR alone");
    return options;
  }
  if (!options.writeRecord.empty()) {
    if (options.from.empty()) throw UsageError("--write-record needs --from");
    return options;
  }
  if (options.home.empty() || options.node.empty() || options.broker.empty()) {
    throw UsageError("--home, --node and --broker are required");
  }
  if (!nuvra::launcher::isVersionText(options.version)) throw UsageError("--version is malformed");
  if (!nuvra::launcher::isDecimalText(options.generation)) {
    throw UsageError("--generation must be a positive decimal");
  }
  return options;
}

void createDirectory(const std::wstring& path) {
  OwnerOnlySecurity security(nuvra::currentUserSid(), true, "installer_security");
  if (!CreateDirectoryW(path.c_str(), security.attributes())) fail("installer_directory");
}

nuvra::FileIdentity identityOf(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  nuvra::FileIdentity identity;
  if (!file || !nuvra::fileIdentity(file.get(), identity) || identity.links != 1) {
    fail("installer_identity");
  }
  return identity;
}

// Copies a payload file and returns the digest of the bytes written.
std::string installPayloadFile(const std::wstring& source, const std::wstring& target) {
  std::string bytes = readWholeFile(source);
  writeNewFile(target, bytes);
  return nuvra::sha256Hex(bytes);
}

std::string install(const InstallOptions& options) {
  // 1. The home: new, owner-only, and from now on spelled as its final path.
  createDirectory(options.home);
  std::wstring home;
  {
    UniqueHandle directory(CreateFileW(options.home.c_str(), FILE_LIST_DIRECTORY,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!directory) fail("installer_directory");
    home = nuvra::canonicalPath(directory.get());
  }
  const std::wstring version = nuvra::utf8ToUtf16(options.version);
  const std::wstring root = home + L"\\runtime\\" + version;
  for (const wchar_t* relative : {L"\\runtime", L"\\state", L"\\state\\runtime"}) {
    createDirectory(home + relative);
  }
  for (const wchar_t* relative :
       {L"", L"\\runtime", L"\\runtime\\node", L"\\connector", L"\\connector\\vevadu-code",
        L"\\connector\\vevadu-code\\client"}) {
    createDirectory(root + relative);
  }

  // 2. The payload, and the digest that names it.
  const std::string nodeSha = installPayloadFile(options.node, root + L"\\runtime\\node\\node.exe");
  const std::string nativeSha = installPayloadFile(
      options.broker, root + L"\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe");
  const std::string filesText =
      nuvra::launcher::payloadFilesText({{std::string(nuvra::kNodeEntryPath), nodeSha},
                                         {std::string(nuvra::kNativeEntryPath), nativeSha}});

  nuvra::launcher::Installation installation;
  installation.home = nuvra::utf16ToUtf8(home);
  installation.ownerSidHash = nuvra::ownerSidHash();
  installation.version = options.version;
  installation.generation = options.generation;
  installation.payloadDigest = nuvra::sha256Hex(filesText);

  // 3. The markers, whose identities the servicing record pins.
  const std::wstring lifetime = home + std::wstring(nuvra::kLifetimeMarkerPath);
  const std::wstring work = home + std::wstring(nuvra::kWorkMarkerPath);
  writeNewFile(lifetime, {});
  writeNewFile(work, {});
  installation.lifetimeIdentity = identityOf(lifetime).text();
  installation.workIdentity = identityOf(work).text();

  // 4. The records; the committed servicing record last, since it is what
  // makes the installation selectable.
  std::string deviceAuth = nuvra::launcher::deviceAuthRecord(
      options.sessionId.empty() ? randomHex(16) : options.sessionId,
      options.deviceId.empty() ? randomHex(16) : options.deviceId,
      options.consumerId.empty() ? randomHex(16) : options.consumerId);
  writeNewFile(home + std::wstring(nuvra::kDeviceBindingPath), deviceAuth);
  SecureZeroMemory(deviceAuth.data(), deviceAuth.size());
  writeNewFile(home + L"\\runtime\\current", nuvra::launcher::currentRuntimeRecord(installation));
  writeNewFile(home + L"\\state\\runtime\\admission.json",
               nuvra::launcher::admissionRecord(installation, filesText));
  writeNewFile(home + L"\\state\\runtime\\servicing.json",
               nuvra::launcher::committedServicingRecord(installation));

  return nuvra::RecordBuilder()
      .string("schema_version", "nuvra.install-result.v1")
      .string("home", installation.home)
      .string("root", nuvra::utf16ToUtf8(root))
      .string("version", installation.version)
      .string("generation", installation.generation)
      .string("payload_digest", installation.payloadDigest)
      .string("owner_sid_hash", installation.ownerSidHash)
      .string("home_key", nuvra::homeKey(home))
      .string("node_sha256", nodeSha)
      .string("native_sha256", nativeSha)
      .string("lifetime_identity", installation.lifetimeIdentity)
      .string("work_identity", installation.workIdentity)
      .line();
}

// Replaces a record the way a servicing step would.
void writeRecord(const std::wstring& path, const std::wstring& from) {
  replaceRecord(path, readWholeFile(from));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  InstallOptions options;
  try {
    options = parse(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "install: %s\n", error.what());
    return 2;
  }
  if (options.repair) return nuvra::installer::repairHome(options.home);
  try {
    if (!options.writeRecord.empty()) {
      writeRecord(options.writeRecord, options.from);
      return 0;
    }
    const std::string result = install(options);
    std::fputs(result.c_str(), stdout);
    if (!options.result.empty()) writeNewFile(options.result, result);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install: %s\n", error.what());
    return 3;
  }
}
