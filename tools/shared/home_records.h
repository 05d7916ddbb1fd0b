// The records a freshly installed product home starts with, assembled with the
// exact keys and values the runtime's startup reads. Pure text assembly; the
// installer supplies the digests and identities.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nuvra::launcher {

struct PayloadFile {
  std::string path;    // relative, forward slashes
  std::string sha256;  // 64 lowercase hex digits
};

struct Installation {
  std::string home;  // UTF-8 product home, as the runtime will compare it
  std::string ownerSidHash;
  std::string version;     // the runtime root is home\runtime\<version>
  std::string generation;  // decimal text
  std::string payloadDigest;
  std::string lifetimeIdentity;  // "%08x:%08x%08x" of the lifetime marker
  std::string workIdentity;      // the same for the work marker
};

// [{"path":...,"sha256":...},...] in the given order; the payload digest is
// the SHA-256 of exactly this text.
std::string payloadFilesText(const std::vector<PayloadFile>& files);

// "\state\runtime\servicing.json" in state "COMMITTED".
std::string committedServicingRecord(const Installation& installation);
// "\runtime\current".
std::string currentRuntimeRecord(const Installation& installation);
// "\state\runtime\admission.json"; `filesText` is payloadFilesText's result.
std::string admissionRecord(const Installation& installation, std::string_view filesText);
// "\windows-device-auth.json".
std::string deviceAuthRecord(std::string_view sessionId, std::string_view deviceId,
                             std::string_view consumerId);

// How many recoveries may wrap one another before a servicing record is
// taken for damage rather than history: each runtime that finds the home's
// serialisation mutex abandoned wraps the record once more, and each wrap
// about doubles the escaping, so a record reader's 256 KiB hold about a dozen.
inline constexpr int kMaxRecoveryDepth = 12;

// The committed record a servicing record stands for, as its exact text: the
// text itself in state "COMMITTED", else the "previous_record_text" of a
// "RECOVERY_REQUIRED" record, followed through every recovery that wrapped an
// earlier one. "installer_repair_record" when a level is not a servicing
// record of one of those states or keeps no previous text.
//   COMMITTED C                                   C
//   RECOVERY_REQUIRED(C)                          C
//   RECOVERY_REQUIRED(RECOVERY_REQUIRED(C))       C
//   RECOVERY_REQUIRED without previous text       refused
//   RECOVERY_REQUIRED("not json")                 refused
std::string committedRecordText(std::string_view servicingText);

// A canonical positive decimal of at most 20 digits, as "generation" must be.
bool isDecimalText(std::string_view text) noexcept;
// A version usable as one path component: 1 to 64 of [0-9A-Za-z._-], not
// ending in a dot.
bool isVersionText(std::string_view text) noexcept;

}  // namespace nuvra::launcher
