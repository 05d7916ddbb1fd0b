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

// The identity of an open file that lies in a directory verified on
// `volumeSerial`: fileIdentity without the volume query (under Wine a round
// trip to the mount manager), the index read as GetFileInformationByHandle
// reads it. False when a query fails.
bool fileIdentityOnVolume(HANDLE file, std::uint32_t volumeSerial, FileIdentity& identity) noexcept;

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

// The append lock of a log file that several processes append to: an
// exclusive lock of one byte far past any end the file reaches, held only
// for one append. Under the test bed an append is a size query and then a
// write at that size, so two processes' appends could land at the same
// offset, one record overwriting another; every appender of the file holds
// this lock for its write. It belongs to the file: only a holder of a handle
// can take it, and it goes with the handle when its holder dies. Taken in
// the constructor, tried again until `deadline` (a GetTickCount64 value)
// while another appender holds it; false when it could not be taken.
class AppendLock {
 public:
  AppendLock(HANDLE file, std::uint64_t deadline) noexcept;
  ~AppendLock();
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;

  explicit operator bool() const noexcept { return held_; }

 private:
  HANDLE file_;
  OVERLAPPED range_{};
  bool held_ = false;
};

}  // namespace nuvra
