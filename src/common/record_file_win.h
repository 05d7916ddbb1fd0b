// The strict reader of small records under the product home: a plain,
// single-linked, non-empty regular file of at most 256 KiB at exactly the
// requested path, optionally owned by and granted solely to the current user.
#pragma once

#include <cstddef>
#include <string>

namespace nuvra {

constexpr std::size_t kMaxRecordFileBytes = 0x40000;

// The file's bytes, unchanged. Failures: "profile_record_open",
// "profile_inheritance", "profile_security", "profile_record", "profile_path",
// "profile_record_read", "profile_close_failed".
std::string readRecordFile(const std::wstring& path, bool ownerOnly);

}  // namespace nuvra
