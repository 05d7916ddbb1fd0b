#include "custody/servicing_win.h"

#include <windows.h>

#include <string>

#include "common/crypto_win.h"
#include "common/fault_injection.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/reason.h"
#include "common/record_file_win.h"
#include "common/security_win.h"
#include "common/text_win.h"
#include "custody/servicing.h"

namespace nuvra {

void recoverServicing(const std::wstring& home) {
  const std::wstring record = servicing::recordPath(home);

  // 1. The previous record, exactly as it is; nothing is written without it.
  const std::string previous = readRecordFile(record, true);

  // 2. The recovery record. It must stay readable as a record: a recovery
  //    that wraps earlier recoveries grows with each one, and a record
  //    beyond the reader's bound would lock the home out of every later
  //    read, recovery included.
  const std::string text =
      servicing::recoveryRecordText(utf16ToUtf8(home), ownerSidHash(), previous);
  if (text.size() > kMaxRecordFileBytes) fail("profile_recovery_write");

  // 3. A fresh temporary name in the record's directory.
  char random[servicing::kTemporaryNameBytes] = {};
  randomBytes(random, sizeof(random), "profile_recovery_random");
  const std::wstring temporary =
      servicing::temporaryPath(record, std::string_view(random, sizeof(random)));

  // 4. Owner-only security for the new file.
  OwnerOnlySecurity security(currentUserSid(), false, "profile_recovery_security");

  // 5. CREATE_NEW: an existing name is refused, never reused.
  UniqueHandle file(NUVRA_INJECT(
      "recovery.open", INVALID_HANDLE_VALUE,
      CreateFileW(temporary.c_str(), GENERIC_WRITE | READ_CONTROL, 0, security.attributes(),
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr)));
  if (!file) fail("profile_recovery_open");
  security.release();

  // 6. Our own handle, and a file that really is ours alone.
  requireNonInheritable(file.get());
  checkOwnerOnly(file.get(), OwnedObject::file);

  // 7. The whole text in one write, on disk before the move.
  DWORD written = 0;
  if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size() || !FlushFileBuffers(file.get())) {
    fail("profile_recovery_write");
  }

  // 8.
  file.closeOrFail();

  // 9. One atomic replacement: readers see the old record or the new one.
  if (!MoveFileExW(temporary.c_str(), record.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail("profile_recovery_replace");
  }

  // 10. What is on disk now must be exactly what was meant.
  if (NUVRA_INJECT("recovery.readback", std::string(), readRecordFile(record, true)) != text) {
    fail("profile_recovery_readback");
  }
}

}  // namespace nuvra
