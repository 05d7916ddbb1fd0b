// Final paths and identities of open files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

// GetFinalPathNameByHandleW without the \\?\ prefix; "profile_path".
std::wstring canonicalPath(HANDLE file);

struct FileIdentity {
  std::uint32_t volumeSerial = 0;
  std::uint32_t indexHigh = 0;
  std::uint32_t indexLow = 0;
  std::uint32_t attributes = 0;
  std::uint32_t links = 0;
  std::uint64_t size = 0;

  bool sameFile(const FileIdentity& other) const noexcept {
    return volumeSerial == other.volumeSerial && indexHigh == other.indexHigh &&
           indexLow == other.indexLow;
  }
  // "%08x:%08x%08x"
  std::string text() const;
};

// False when the query fails; callers refuse with their own reason.
bool fileIdentity(HANDLE file, FileIdentity& identity) noexcept;

// What a record read checks of a file: its attributes, links and size. Read
// without the volume serial that a full identity carries, which a record
// read does not compare and which costs a round trip to the mount manager
// under Wine. False when a query fails.
struct FileShape {
  std::uint32_t attributes = 0;
  std::uint32_t links = 0;
  std::uint64_t size = 0;
};
bool fileShape(HANDLE file, FileShape& shape) noexcept;

// Ordinal comparison ignoring case, as every path comparison is made.
bool samePathIgnoringCase(const std::wstring& a, const std::wstring& b) noexcept;

// Renames the open `file` (opened with DELETE access) to the full path
// `target` on the same volume, never over an existing file: the way a file
// written under a temporary name appears whole or not at all. False on any
// failure, GetLastError() as the rename left it (ERROR_ALREADY_EXISTS when
// `target` exists).
bool renameWithoutReplacing(HANDLE file, const std::wstring& target) noexcept;

// Every byte of `bytes` through blocking writes to `handle` (a pipe may take
// them in parts). False on a failed write or one that moved nothing.
bool writeAll(HANDLE handle, std::string_view bytes) noexcept;

}  // namespace nuvra
