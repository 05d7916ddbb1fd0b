#include "common/record_file_win.h"

#include <windows.h>

#include "common/fault_injection.h"
#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/reason.h"

namespace nuvra {

std::string readRecordFile(const std::wstring& path, bool ownerOnly) {
  // 1. Readers may share; writers and deleters are kept out while we hold it.
  //    A reparse point is opened itself, never followed.
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) fail("profile_record_open");
  // From here on every failure closes the handle as the owner goes out of scope.
  // 2.
  requireNonInheritable(file.get());
  // 3.
  if (ownerOnly) checkOwnerOnly(file.get(), OwnedObject::file);
  // 4. A disk file, not a directory or reparse point, one link, 1 byte to 256 KiB.
  //    The type check keeps a device or pipe name from passing as a record.
  FileShape info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !fileShape(file.get(), info) ||
      (info.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.links != 1 || info.size < 1 || info.size > kMaxRecordFileBytes) {
    fail("profile_record");
  }
  // 5. A junction or substitution on the way shows up as a different final path.
  if (!samePathIgnoringCase(canonicalPath(file.get()), path)) fail("profile_record");
  // 6. One read of exactly the size.
  std::string bytes(static_cast<std::size_t>(info.size), '\0');
  DWORD read = 0;
  if (!NUVRA_INJECT(
          "record.read", FALSE,
          ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) ||
      read != bytes.size()) {
    fail("profile_record_read");
  }
  // 7.
  file.closeOrFail();
  return bytes;
}

}  // namespace nuvra
