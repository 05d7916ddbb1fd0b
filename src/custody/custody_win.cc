#include "custody/custody_win.h"
#include "common/layout.h"

#include <cstring>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/startup_rules.h"

namespace nuvra {
namespace {

constexpr wchar_t kHandoffVariable[] = L"NUVRA_PROFILE_HANDOFF";

// The only part of PROCESS_BASIC_INFORMATION read here, at its x64 offset.
constexpr ULONG kBasicInformationBytes = 48;
constexpr std::size_t kInheritedFromOffset = 40;

using NtQueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

class MappedView {
 public:
  MappedView(HANDLE mapping, DWORD access)
      : view_(MapViewOfFile(mapping, access, 0, 0, kHandoffMappingSize)) {}
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
  }
  const unsigned char* bytes() const { return static_cast<const unsigned char*>(view_); }
  explicit operator bool() const { return view_ != nullptr; }

 private:
  void* view_;
};

std::uint32_t parentProcessIdOfSelf() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto query = ntdll == nullptr
                         ? nullptr
                         : reinterpret_cast<NtQueryInformationProcessFn>(reinterpret_cast<void*>(
                               GetProcAddress(ntdll, "NtQueryInformationProcess")));
  if (query == nullptr) fail("profile_parent");
  alignas(8) unsigned char information[kBasicInformationBytes] = {};
  ULONG returned = 0;
  if (query(GetCurrentProcess(), 0 /* ProcessBasicInformation */, information,
            kBasicInformationBytes, &returned) != 0) {
    fail("profile_parent");
  }
  std::uint64_t inheritedFrom = 0;
  std::memcpy(&inheritedFrom, information + kInheritedFromOffset, sizeof(inheritedFrom));
  if (inheritedFrom > 0xFFFFFFFFu) fail("profile_parent");
  return static_cast<std::uint32_t>(inheritedFrom);
}

}  // namespace

HANDLE handoffMappingFromEnvironment() {
  // 32 units: at most 31 characters and the terminating NUL.
  wchar_t buffer[startup::kHandoffVariableMaxChars + 1] = {};
  SetLastError(ERROR_SUCCESS);
  const DWORD length =
      GetEnvironmentVariableW(kHandoffVariable, buffer, static_cast<DWORD>(std::size(buffer)));
  // A value that does not fit reports the size it needs, which is above 31.
  if (length == 0 || length > startup::kHandoffVariableMaxChars) {
    fail("profile_custody_required");
  }
  const std::string text = utf16ToUtf8(std::wstring_view(buffer, length));
  const HANDLE mapping = handleFromValue(parseDecimal64(text));
  requireNonInheritable(mapping);
  return mapping;
}

void removeHandoffVariable() noexcept {
  SetEnvironmentVariableW(kHandoffVariable, nullptr);
}

std::string readHandoffText(HANDLE mapping) {
  std::string text;
  {
    const MappedView view(mapping, FILE_MAP_READ);
    if (!view) fail("profile_mapping");
    std::uint32_t length = 0;
    std::memcpy(&length, view.bytes(), sizeof(length));
    startup::checkHandoffLength(length);
    text.assign(reinterpret_cast<const char*>(view.bytes() + sizeof(length)), length);
  }
  // A handoff the new process could rewrite is no proof of what the
  // launcher said: the handle must not grant write access.
  if (const MappedView writable(mapping, FILE_MAP_WRITE); writable) {
    fail("profile_mapping_writable");
  }
  return text;
}

HANDLE handleFromValue(std::uint64_t value) {
  if (value >= 0x8000000000000000ull) fail("profile_handle");
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

void requirePipe(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_PIPE) fail("profile_startup_ack");
}

void requireNodeImage(const std::wstring& root) {
  std::wstring image;
  try {
    image = utf8ToUtf16(processImagePath(GetCurrentProcess()));
  } catch (const ProfileError&) {
    fail("profile_node_image");
  }
  if (!samePathIgnoringCase(image, root + std::wstring(kNodeImageSuffix))) {
    fail("profile_node_image");
  }
}

std::string proveParent(HANDLE parent, std::uint32_t parentPid, std::string_view parentImage) {
  if (parentProcessIdOfSelf() != parentPid) fail("profile_parent");
  if (GetProcessId(parent) != parentPid) fail("profile_parent");
  if (WaitForSingleObject(parent, 0) != WAIT_TIMEOUT) fail("profile_parent");
  std::string image;
  std::wstring expected;
  try {
    image = processImagePath(parent);
    expected = utf8ToUtf16(parentImage);
  } catch (const ProfileError&) {
    fail("profile_parent");
  }
  if (!samePathIgnoringCase(utf8ToUtf16(image), expected)) fail("profile_parent");
  return image;
}

std::wstring nativeTargetPath(const std::wstring& root) {
  return root + std::wstring(kBrokerRelativePath);
}

}  // namespace nuvra
