// The runtime servicing record "\state\runtime\servicing.json": its path
// under the product home, and the text of the "RECOVERY_REQUIRED" record the
// addon writes when the home's serialisation mutex was found abandoned.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nuvra::servicing {

inline constexpr std::string_view kSchema = "nuvra.runtime-servicing.v1";
inline constexpr std::string_view kStateCommitted = "COMMITTED";
inline constexpr std::string_view kStateRecoveryRequired = "RECOVERY_REQUIRED";

// Relative to the product home.
inline constexpr std::wstring_view kRecordRelativePath = L"\\state\\runtime\\servicing.json";

// Bytes of randomness in the name of the temporary file of a rewrite.
inline constexpr std::size_t kTemporaryNameBytes = 16;

// home + "\state\runtime\servicing.json"
std::wstring recordPath(std::wstring_view home);

// The record path + "." + 32 lowercase hex digits + ".tmp": a new name per
// attempt, so a stale file from a failed attempt never collides.
std::wstring temporaryPath(std::wstring_view recordPath, std::string_view randomBytes);

// The recovery record, one line ending in a line feed:
//   {"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED",
//    "installation_root":<home>,"owner_sid_hash":<hash>,"previous_record_text":<text>}
// The previous text is kept whole, whatever it holds (a committed record or an
// earlier recovery record), as one JSON string.
std::string recoveryRecordText(std::string_view homeUtf8, std::string_view ownerSidHash,
                               std::string_view previousRecordText);

}  // namespace nuvra::servicing
