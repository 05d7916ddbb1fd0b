#include "common/text_win.h"

#include <windows.h>

#include <limits>

#include "common/fault_injection.h"
#include "common/reason.h"

namespace nuvra {
namespace {

int checkedLength(std::size_t size, const char* reason) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) fail(reason);
  return static_cast<int>(size);
}

}  // namespace

std::wstring utf8ToUtf16(std::string_view bytes) {
  const int inputLength = checkedLength(bytes.size(), "profile_utf8");
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), inputLength, nullptr, 0);
  if (length <= 0) fail("profile_utf8");
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), inputLength, text.data(),
                          length) != length) {
    fail("profile_utf8");
  }
  return text;
}

std::string utf16ToUtf8(std::wstring_view text) {
  const int inputLength = checkedLength(text.size(), "profile_utf16");
  const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), inputLength,
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) fail("profile_utf16");
  std::string bytes(static_cast<std::size_t>(length), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), inputLength, bytes.data(),
                          length, nullptr, nullptr) != length) {
    fail("profile_utf16");
  }
  return bytes;
}

std::wstring invariantCase(std::wstring_view text, bool upper, const char* reason) {
  if (text.empty()) fail(reason);
  const int inputLength = checkedLength(text.size(), reason);
  const DWORD flags = upper ? LCMAP_UPPERCASE : LCMAP_LOWERCASE;
  const int length =
      NUVRA_INJECT_KEYED("text.invariant_case", reason, 0,
                         LCMapStringEx(LOCALE_NAME_INVARIANT, flags, text.data(), inputLength,
                                       nullptr, 0, nullptr, nullptr, 0));
  if (length <= 0) fail(reason);
  std::wstring mapped(static_cast<std::size_t>(length), L'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, flags, text.data(), inputLength, mapped.data(), length,
                    nullptr, nullptr, 0) != length) {
    fail(reason);
  }
  return mapped;
}

}  // namespace nuvra
