#include "launcher/identity_win.h"

#include <sddl.h>

#include <vector>

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/reason.h"
#include "common/text_win.h"

namespace nuvra::launcher {

std::wstring currentUserSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) fail("launcher_identity");
  UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size < sizeof(TOKEN_USER) || size > 0x100000) fail("launcher_identity");
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    fail("launcher_identity");
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  LPWSTR text = nullptr;
  if (user->User.Sid == nullptr || !IsValidSid(user->User.Sid) ||
      !ConvertSidToStringSidW(user->User.Sid, &text)) {
    fail("launcher_identity");
  }
  std::wstring sid(text);
  LocalFree(text);
  return sid;
}

std::string ownerSidHash() {
  return sha256Hex(utf16ToUtf8(currentUserSid()));
}

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

std::wstring processImagePath(HANDLE process) {
  std::wstring path(0x8000, L'\0');
  DWORD length = 0x8000;
  if (!QueryFullProcessImageNameW(process, 0, path.data(), &length)) fail("launcher_image");
  path.resize(length);
  return path;
}

OwnerOnlySecurity::OwnerOnlySecurity(Kind kind) {
  const std::wstring sid = currentUserSid();
  const wchar_t* flags = kind == Kind::directory ? L"OICI" : L"";
  const std::wstring sddl = L"O:" + sid + L"D:P(A;" + flags + L";GA;;;" + sid + L")";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor_, nullptr)) {
    fail("launcher_security");
  }
  attributes_.nLength = sizeof(attributes_);
  attributes_.lpSecurityDescriptor = descriptor_;
  attributes_.bInheritHandle = FALSE;
}

OwnerOnlySecurity::~OwnerOnlySecurity() {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
}

}  // namespace nuvra::launcher
