// Strict conversions between UTF-8 and UTF-16; no replacement characters.
#pragma once

#include <string>
#include <string_view>

namespace nuvra {

// Empty or invalid input: "profile_utf8".
std::wstring utf8ToUtf16(std::string_view bytes);
// Empty input or an unpaired surrogate: "profile_utf16".
std::string utf16ToUtf8(std::wstring_view text);

// The invariant-culture upper or lower case of `text` (LCMapStringEx), which
// paths and home keys are compared and hashed in. Empty input, input above
// 2^31-1 characters or a failed mapping throw `reason`.
std::wstring invariantCase(std::wstring_view text, bool upper, const char* reason);

}  // namespace nuvra
