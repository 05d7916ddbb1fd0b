#include "common/identity_win.h"

#include <sddl.h>

#include <cstring>
#include <memory>

#include "common/crypto_win.h"
#include "common/fault_injection.h"
#include "common/handle_win.h"
#include "common/policy.h"
#include "common/reason.h"
#include "common/text_win.h"

namespace nuvra {
namespace {

constexpr const char* kIdentityReason = "profile_observation_identity";
constexpr DWORD kPathCapacity = 0x8000;
constexpr DWORD kMegabyte = 1048576;
// Both bits of SE_GROUP_LOGON_ID; attributes at or above it carry both.
constexpr DWORD kLogonIdBits = 0xC0000000;

struct LocalFreeDeleter {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

bool sidToText(PSID sid, std::wstring& text) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  LPWSTR converted = nullptr;
  if (!ConvertSidToStringSidW(sid, &converted)) return false;
  std::unique_ptr<wchar_t, LocalFreeDeleter> owner(converted);
  text = converted;
  return !text.empty();
}

std::vector<unsigned char> fetchBounded(HANDLE token, TOKEN_INFORMATION_CLASS kind, DWORD minimum,
                                        DWORD maximum, const char* reason) {
  DWORD first = 0;
  // Expected to fail with the size it needs.
  GetTokenInformation(token, kind, nullptr, 0, &first);
  if (first < minimum || first > maximum) fail(reason);
  std::vector<unsigned char> buffer(first, 0);
  DWORD second = 0;
  if (!GetTokenInformation(token, kind, buffer.data(), first, &second)) fail(reason);
  if (second < minimum || second > first) fail(reason);
  buffer.resize(second);
  return buffer;
}

// The token's SID fields point into the same buffer that holds them; the
// buffer is copied out of before it is released.
std::wstring userSidOf(HANDLE token, const char* reason) {
  std::vector<unsigned char> buffer = fetchBounded(token, TokenUser, 16, kMegabyte, reason);
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  std::wstring text;
  if (!sidToText(user->User.Sid, text)) fail(reason);
  return text;
}

template <typename Fixed>
Fixed fixedInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, DWORD minimum, DWORD maximum) {
  std::vector<unsigned char> buffer = fetchBounded(token, kind, minimum, maximum, kIdentityReason);
  if (buffer.size() < sizeof(Fixed)) fail(kIdentityReason);
  Fixed value{};
  std::memcpy(&value, buffer.data(), sizeof(Fixed));
  return value;
}

std::wstring upperInvariant(const std::wstring& text) {
  if (text.size() > kPathCapacity) fail("profile_observation_image");
  return invariantCase(text, true, "profile_observation_image");
}

std::string hashWide(const std::wstring& text) {
  return sha256Hex(utf16ToUtf8(text));
}

}  // namespace

std::vector<unsigned char> fetchTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                                 DWORD minimum, DWORD maximum) {
  return fetchBounded(token, kind, minimum, maximum, kIdentityReason);
}

std::wstring logonSidFromGroups(const unsigned char* buffer, std::size_t size) {
  constexpr std::size_t kHeader = offsetof(TOKEN_GROUPS, Groups);
  static_assert(kHeader == 8 && sizeof(SID_AND_ATTRIBUTES) == 16);
  if (buffer == nullptr || size < kHeader) fail(kIdentityReason);
  DWORD count = 0;
  std::memcpy(&count, buffer, sizeof(count));
  if (count < 1 || count > 4096 || size < kHeader + 16 * std::size_t{count}) {
    fail(kIdentityReason);
  }
  std::wstring logonSid;
  for (std::size_t i = 0; i < count; ++i) {
    SID_AND_ATTRIBUTES group{};
    std::memcpy(&group, buffer + kHeader + i * sizeof(group), sizeof(group));
    if (group.Attributes < kLogonIdBits) continue;
    std::wstring text;
    if (!sidToText(group.Sid, text)) fail(kIdentityReason);
    if (logonSid.empty()) {
      logonSid = std::move(text);
    } else if (text != logonSid) {
      fail(kIdentityReason);
    }
  }
  if (logonSid.empty()) fail(kIdentityReason);
  return logonSid;
}

ProcessIdentity readTokenIdentity(HANDLE token) {
  ProcessIdentity identity;
  // 3. The user.
  identity.user_sid = userSidOf(token, kIdentityReason);
  // 4. The logon session's SID among the groups.
  std::vector<unsigned char> groups =
      fetchBounded(token, TokenGroups, 8, kMegabyte, kIdentityReason);
  identity.logon_sid = logonSidFromGroups(groups.data(), groups.size());
  // 5. Authentication id, Windows session, elevation.
  const auto statistics = fixedInformation<TOKEN_STATISTICS>(token, TokenStatistics, 56, 4096);
  identity.authentication_id.low = statistics.AuthenticationId.LowPart;
  identity.authentication_id.high = statistics.AuthenticationId.HighPart;
  identity.session_id = fixedInformation<DWORD>(token, TokenSessionId, 4, 4);
  identity.elevated =
      fixedInformation<TOKEN_ELEVATION>(token, TokenElevation, 4, 4).TokenIsElevated != 0;
  // 6. The mandatory label.
  std::vector<unsigned char> label =
      fetchBounded(token, TokenIntegrityLevel, 16, 4096, kIdentityReason);
  const auto* mandatory = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data());
  if (!sidToText(mandatory->Label.Sid, identity.integrity_sid)) fail(kIdentityReason);
  return identity;
}

ProcessIdentity readProcessIdentity(HANDLE process) {
  // 1. The token, for queries only.
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) fail(kIdentityReason);
  UniqueHandle token(raw);
  // 2. Not inheritable, read back.
  requireNonInheritable(token.get());
  // 3. to 6.
  ProcessIdentity identity = readTokenIdentity(token.get());
  // 7. A failed close is reported, not ignored.
  token.closeOrFail();
  return identity;
}

std::wstring currentUserSid() {
  HANDLE raw = nullptr;
  if (!NUVRA_INJECT("identity.token", FALSE,
                    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))) {
    fail("profile_identity");
  }
  UniqueHandle token(raw);
  std::wstring sid = userSidOf(token.get(), "profile_identity");
  if (!token.closeForCleanup()) fail("profile_identity");
  return sid;
}

const std::wstring& processUserSid() {
  // A process's primary token names one user for the whole life of the
  // process: the token is asked once. A first read that fails throws, and
  // the next call asks again.
  static const std::wstring sid = currentUserSid();
  return sid;
}

std::string ownerSidHash() {
  return hashWide(currentUserSid());
}

std::string authenticationIdHash(AuthenticationId id) {
  return sha256Hex(authenticationIdText(id));
}

std::string processImagePath(HANDLE process) {
  std::wstring path(kPathCapacity, L'\0');
  DWORD length = kPathCapacity;
  if (!QueryFullProcessImageNameW(process, 0, path.data(), &length) || length == 0 ||
      length >= kPathCapacity) {
    fail("profile_parent_image");
  }
  path.resize(length);
  return utf16ToUtf8(path);
}

std::string imagePathHash(HANDLE process) {
  // 1. The image path, back in UTF-16.
  return imagePathHashOf(utf8ToUtf16(processImagePath(process)));
}

std::string imagePathHashOf(const std::wstring& image) {
  // 2. Full path. The call reads up to a NUL, so one inside would hash a
  //    different path than the one given.
  if (image.empty() || image.find(L'\0') != std::wstring::npos) fail("profile_observation_image");
  std::wstring full(kPathCapacity, L'\0');
  const DWORD length = GetFullPathNameW(image.c_str(), kPathCapacity, full.data(), nullptr);
  if (length == 0 || length > kPathCapacity - 1) fail("profile_observation_image");
  full.resize(length);
  // 3. No trailing separators.
  while (!full.empty() && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  // 4. and 5.
  return hashWide(upperInvariant(full));
}

std::string pathHash(const std::wstring& path) {
  return hashWide(upperInvariant(path));
}

bool meetsInteractiveUserRule(const ProcessIdentity& identity) noexcept {
  if (identity.elevated) return false;
  return isMediumIntegrity(identity.integrity_sid) ||
         policy::acceptsHighIntegrityUser(identity.integrity_sid);
}

SecurityFacts readSecurityFacts(HANDLE object) {
  // One query into a buffer that fits every descriptor the product writes;
  // only a larger one costs a second query of the size it said it needs.
  constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  std::vector<std::uint64_t> storage(128);
  DWORD needed = 0;
  for (;;) {
    const auto size = static_cast<DWORD>(storage.size() * sizeof(std::uint64_t));
    if (GetKernelObjectSecurity(object, kWanted, storage.data(), size, &needed)) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size || needed > kMegabyte) {
      fail("profile_security");
    }
    storage.assign((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  }
  const PSECURITY_DESCRIPTOR raw = storage.data();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL ownerDefaulted = FALSE;
  BOOL daclPresent = FALSE;
  BOOL daclDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(raw, &owner, &ownerDefaulted) ||
      !GetSecurityDescriptorDacl(raw, &daclPresent, &dacl, &daclDefaulted)) {
    fail("profile_security");
  }
  if (!daclPresent) dacl = nullptr;
  SecurityFacts facts;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(raw, &control, &revision) ||
      !sidToText(owner, facts.owner_sid)) {
    fail("profile_security");
  }
  facts.dacl_protected = (control & SE_DACL_PROTECTED) != 0;
  facts.dacl_present = dacl != nullptr;
  if (dacl == nullptr) return facts;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) || ace == nullptr) fail("profile_security");
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    AceFacts entry;
    entry.type = header->AceType;
    entry.flags = header->AceFlags;
    // Allowed and denied ACEs share one layout: header, mask, SID.
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      auto* plain = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      entry.mask = plain->Mask;
      if (!sidToText(&plain->SidStart, entry.sid)) fail("profile_security");
    }
    facts.aces.push_back(std::move(entry));
  }
  return facts;
}

void checkOwnerOnly(HANDLE object, OwnedObject kind) {
  const SecurityFacts facts = readSecurityFacts(object);
  const std::wstring* user = nullptr;
  try {
    user = &processUserSid();
  } catch (const ProfileError&) {
    fail("profile_security");
  }
  if (isStrictlyOwnerOnly(facts, *user, kind)) return;
  if (kind != OwnedObject::kernelObject &&
      policy::acceptsSystemAndUserOnlyFile(facts, *user, kind)) {
    return;
  }
  fail("profile_security");
}

std::string processCreationTime(HANDLE process) {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) fail(kIdentityReason);
  return filetimeText((static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) |
                      creation.dwLowDateTime);
}

bool verifyPeerProcess(std::uint32_t processId, const std::string& creationTime,
                       const std::string& expectedImageHash,
                       const ProcessIdentity& expectedIdentity) noexcept {
  try {
    // 1. Open for waiting and limited queries, not inheritable.
    UniqueHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return false;
    requireNonInheritable(process.get());
    // 2. Still running, and the same incarnation of that id.
    if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return false;
    if (processCreationTime(process.get()) != creationTime) return false;
    // 3. An interactive user, and exactly the expected identity.
    const ProcessIdentity peer = readProcessIdentity(process.get());
    if (!meetsInteractiveUserRule(peer) || !(peer == expectedIdentity)) return false;
    // 4. The expected image.
    const bool sameImage = imagePathHash(process.get()) == expectedImageHash;
    // 5. A failed close makes the answer false.
    if (!process.closeForCleanup()) return false;
    return sameImage;
  } catch (...) {
    return false;
  }
}

}  // namespace nuvra
