#include "install_files_win.h"

#include <windows.h>

#include <algorithm>

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/text.h"
#include "common/text_win.h"

namespace nuvra::installer {

std::string readWholeFile(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x40000000) {
    fail("installer_source");
  }
  std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 24));
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data() + done, chunk, &read, nullptr) || read == 0) {
      fail("installer_source");
    }
    done += read;
  }
  return bytes;
}

void writeNewFile(const std::wstring& path, std::string_view bytes) {
  OwnerOnlySecurity security(currentUserSid(), false, "installer_security");
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | READ_CONTROL, 0,
                                security.attributes(), CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
  if (!file) fail("installer_create");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 24));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written != chunk) {
      fail("installer_write");
    }
    done += written;
  }
  if (!FlushFileBuffers(file.get())) fail("installer_write");
  file.closeOrFail();
}

std::string randomHex(std::size_t bytes) {
  std::string buffer(bytes, '\0');
  randomBytes(buffer.data(), buffer.size(), "installer_random");
  std::string text = hexLower(buffer);
  SecureZeroMemory(buffer.data(), buffer.size());
  return text;
}

void replaceRecord(const std::wstring& path, std::string_view bytes) {
  const std::wstring temporary = path + L"." + utf8ToUtf16(randomHex(16)) + L".tmp";
  writeNewFile(temporary, bytes);
  if (!MoveFileExW(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temporary.c_str());
    fail("installer_replace");
  }
}

}  // namespace nuvra::installer
