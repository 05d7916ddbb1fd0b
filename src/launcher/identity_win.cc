#include "launcher/identity_win.h"

#include "common/crypto_win.h"
#include "common/reason.h"
#include "common/text_win.h"

namespace nuvra::launcher {

std::string homeKey(const std::wstring& home) {
  if (home.empty() || home.size() > 0x7fff) fail("launcher_home_key");
  const int length = static_cast<int>(home.size());
  const int needed = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, home.data(), length,
                                   nullptr, 0, nullptr, nullptr, 0);
  if (needed <= 0) fail("launcher_home_key");
  std::wstring lower(static_cast<std::size_t>(needed), L'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, home.data(), length, lower.data(),
                    needed, nullptr, nullptr, 0) != needed) {
    fail("launcher_home_key");
  }
  return sha256Hex(utf16ToUtf8(lower));
}

std::wstring serializationMutexName(const std::wstring& home) {
  const std::string key = homeKey(home);
  return L"Global\\Nuvra.RuntimeSerialization.V1." + std::wstring(key.begin(), key.end());
}

}  // namespace nuvra::launcher
