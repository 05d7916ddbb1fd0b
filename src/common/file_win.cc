#include "common/file_win.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "common/fault_injection.h"
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

bool fileShape(HANDLE file, FileShape& shape) noexcept {
  FILE_STANDARD_INFO standard{};
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
      !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)) ||
      standard.EndOfFile.QuadPart < 0) {
    return false;
  }
  shape.attributes = tag.FileAttributes;
  shape.links = standard.NumberOfLinks;
  shape.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  return true;
}

bool renameWithoutReplacing(HANDLE file, const std::wstring& target) noexcept {
  try {
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t);
    std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, target.c_str(), nameBytes + sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(size)) !=
           FALSE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

namespace {

// NtQueryInformationFile, looked up once; class 6 is the file's internal
// information, its 64-bit index on its volume.
using NtQueryInformationFileFn = LONG(NTAPI*)(HANDLE, void*, void*, ULONG, int);
constexpr int kFileInternalInformation = 6;
struct IoStatus {
  void* status;
  ULONG_PTR information;
};

NtQueryInformationFileFn queryInformationFile() noexcept {
  static const NtQueryInformationFileFn query = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<NtQueryInformationFileFn>(reinterpret_cast<void*>(
                                  GetProcAddress(ntdll, "NtQueryInformationFile")));
  }();
  return query;
}

}  // namespace

bool fileIdentityOnVolume(HANDLE file, std::uint32_t volumeSerial,
                          FileIdentity& identity) noexcept {
  const NtQueryInformationFileFn query = queryInformationFile();
  FileShape shape;
  if (query == nullptr || !fileShape(file, shape)) return false;
  IoStatus status{};
  std::uint64_t index = 0;
  if (query(file, &status, &index, sizeof(index), kFileInternalInformation) < 0) return false;
  identity.volumeSerial = volumeSerial;
  identity.indexHigh = static_cast<std::uint32_t>(index >> 32);
  identity.indexLow = static_cast<std::uint32_t>(index);
  identity.attributes = shape.attributes;
  identity.links = shape.links;
  identity.size = shape.size;
  return true;
}

bool samePathIgnoringCase(const std::wstring& a, const std::wstring& b) noexcept {
  if (a.size() > 0x7fffffff || b.size() > 0x7fffffff) return false;
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool writeAll(HANDLE handle, std::string_view bytes) noexcept {
  // Parts of at most 1 MiB: a DWORD count cannot carry every size_t.
  constexpr std::size_t kPart = std::size_t{1} << 20;
  while (!bytes.empty()) {
    DWORD moved = 0;
    const auto part = static_cast<DWORD>(bytes.size() < kPart ? bytes.size() : kPart);
    if (!WriteFile(handle, bytes.data(), part, &moved, nullptr) || moved == 0) {
      return false;
    }
    bytes.remove_prefix(moved);
  }
  return true;
}

AppendLock::AppendLock(HANDLE file, std::uint64_t deadline) noexcept : file_(file) {
  range_.Offset = 0xFFFFFFFE;
  range_.OffsetHigh = 0x7FFFFFFF;
  for (unsigned attempt = 0;; ++attempt) {
    if (NUVRA_INJECT("file.append_lock", FALSE,
                     LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                                &range_))) {
      held_ = true;
      return;
    }
    // Another appender holds it for the length of one write.
    if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() >= deadline) return;
    Sleep(attempt < 8 ? 0 : 1);
  }
}

AppendLock::~AppendLock() {
  // A lock that would not go goes with the file's handle.
  if (held_) UnlockFileEx(file_, 0, 1, 0, &range_);
}

}  // namespace nuvra
