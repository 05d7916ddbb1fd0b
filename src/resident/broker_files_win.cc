#include "resident/broker_files_win.h"

#include "common/file_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "resident/publication_rules.h"

namespace nuvra {
namespace {

// READ_CONTROL | FILE_LIST_DIRECTORY: enough to check a directory, nothing
// to change it.
constexpr DWORD kDirectoryAccess = 0x00020001;
constexpr DWORD kOpenAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

[[noreturn]] void recoveryRequired() {
  fail("broker_publication_recovery_required");
}

}  // namespace

void checkBrokerObject(HANDLE handle, BrokerObject row, const std::wstring& expected,
                       const BrokerFolderFacts& facts) {
  const bool directory = row != BrokerObject::file;
  // 1. Owner.
  const SecurityFacts security = readSecurityFacts(handle);
  if (security.owner_sid != facts.userSid) fail("profile_security");
  // 2. DACL.
  if (row == BrokerObject::state || row == BrokerObject::broker) {
    if (!isPublicationDirectorySecurity(security, facts.userSid) &&
        !policy::acceptsSystemAndUserOnlyFile(security, facts.userSid, OwnedObject::directory)) {
      fail("profile_security");
    }
  } else if (row == BrokerObject::file) {
    checkOwnerOnly(handle, OwnedObject::file);
  }
  // 3. What the handle is and where it leads.
  FileIdentity identity;
  if (!fileIdentity(handle, identity)) recoveryRequired();
  if ((identity.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) recoveryRequired();
  if (((identity.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != directory) recoveryRequired();
  if (identity.volumeSerial != facts.volume) recoveryRequired();
  std::wstring finalPath;
  try {
    finalPath = canonicalPath(handle);
  } catch (const ProfileError&) {
    recoveryRequired();
  }
  if (!samePathIgnoringCase(finalPath, expected)) recoveryRequired();
  if (!directory && identity.links != 1) recoveryRequired();
}

UniqueHandle openBrokerDirectory(const std::wstring& path) {
  UniqueHandle handle(CreateFileW(path.c_str(), kDirectoryAccess,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  kOpenAsItself, nullptr));
  if (!handle) recoveryRequired();
  requireNonInheritable(handle.get());
  return handle;
}

}  // namespace nuvra
