#include "shared/home_objects_win.h"

#include "common/file_win.h"
#include "common/identity_win.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "custody/serialization_object_win.h"

namespace nuvra::broker {

std::wstring resolveHome(const std::wstring& home) {
  UniqueHandle directory(CreateFileW(home.c_str(), FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory) fail("launcher_home");
  FileIdentity identity;
  if (!fileIdentity(directory.get(), identity) ||
      (identity.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    fail("launcher_home");
  }
  return canonicalPath(directory.get());
}

UniqueHandle openSerializationMutex(const std::wstring& home) {
  OwnerOnlySecurity security(currentUserSid(), false, "launcher_mutex");
  const std::wstring name = serializationMutexName(home);
  UniqueHandle mutex(CreateMutexW(security.attributes(), FALSE, name.c_str()));
  if (!mutex) fail("launcher_mutex");
  return mutex;
}

}  // namespace nuvra::broker
