#include "common/file_win.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

std::wstring canonicalPath(HANDLE file) {
  constexpr DWORD kCapacity = 0x8000;
  std::wstring path(kCapacity, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(file, path.data(), kCapacity, 0);
  if (length == 0 || length > kCapacity - 1) fail("profile_path");
  path.resize(length);
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  return path;
}

std::string FileIdentity::text() const {
  return fileIdentityText(volumeSerial, indexHigh, indexLow);
}

bool fileIdentity(HANDLE file, FileIdentity& identity) noexcept {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity.volumeSerial = info.dwVolumeSerialNumber;
  identity.indexHigh = info.nFileIndexHigh;
  identity.indexLow = info.nFileIndexLow;
  identity.attributes = info.dwFileAttributes;
  identity.links = info.nNumberOfLinks;
  identity.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

bool samePathIgnoringCase(const std::wstring& a, const std::wstring& b) noexcept {
  if (a.size() > 0x7fffffff || b.size() > 0x7fffffff) return false;
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace nuvra
