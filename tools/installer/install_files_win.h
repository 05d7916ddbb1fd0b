// How the installer reads and writes the files of a product home: whole
// payload files in, and every file it writes owner-only, complete or absent
// (a new name, flushed, then moved into place).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nuvra::installer {

// The whole file, at most 1 GiB; "installer_source".
std::string readWholeFile(const std::wstring& path);

// Creates a new file (never replacing one) owner-only, writes `bytes` and
// flushes them to disk before the handle is closed. "installer_security",
// "installer_create", "installer_write", "profile_close_failed".
void writeNewFile(const std::wstring& path, std::string_view bytes);

// `bytes` random bytes as lowercase hex; "installer_random".
std::string randomHex(std::size_t bytes);

// Replaces a record the way a servicing step does: a new owner-only file
// beside it (record path + "." + 32 hex + ".tmp"), flushed, then moved over
// the record in one write-through step ("installer_replace"; the temporary
// file is removed then).
void replaceRecord(const std::wstring& path, std::string_view bytes);

}  // namespace nuvra::installer
