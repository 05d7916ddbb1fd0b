#include "custody/serialization_object_win.h"

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/reason.h"
#include "common/text_win.h"

namespace nuvra {
namespace {

constexpr DWORD kMutexProofAccess = SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE;
static_assert(kMutexProofAccess == 0x00120001);

using CompareObjectHandlesFn = BOOL(WINAPI*)(HANDLE, HANDLE);

// Looked up at run time: older systems lack it, and a missing export must
// refuse the proof rather than keep the addon from loading.
CompareObjectHandlesFn compareObjectHandles() {
  static const CompareObjectHandlesFn function = [] {
    const HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
    if (kernelbase == nullptr) return CompareObjectHandlesFn{nullptr};
    return reinterpret_cast<CompareObjectHandlesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernelbase, "CompareObjectHandles")));
  }();
  return function;
}

}  // namespace

std::string homeKey(const std::wstring& home) {
  return sha256Hex(utf16ToUtf8(invariantCase(home, false, "profile_home_key")));
}

std::wstring serializationMutexName(const std::wstring& home) {
  const std::string key = homeKey(home);
  return L"Global\\Nuvra.RuntimeSerialization.V1." + std::wstring(key.begin(), key.end());
}

void proveSerializationMutex(HANDLE inherited, const std::wstring& home) {
  const std::wstring name = serializationMutexName(home);
  UniqueHandle named(OpenMutexW(kMutexProofAccess, FALSE, name.c_str()));
  if (!named) fail("profile_owner_absent");
  const CompareObjectHandlesFn compare = compareObjectHandles();
  const bool same = compare != nullptr && compare(inherited, named.get()) != FALSE;
  named.closeOrFail();
  if (!same) fail("profile_owner_object");
}

}  // namespace nuvra
