// Strict conversions between UTF-8 and UTF-16; no replacement characters.
#pragma once

#include <string>
#include <string_view>

namespace nuvra {

// Empty or invalid input: "profile_utf8".
std::wstring utf8ToUtf16(std::string_view bytes);
// Empty input or an unpaired surrogate: "profile_utf16".
std::string utf16ToUtf8(std::wstring_view text);

}  // namespace nuvra
