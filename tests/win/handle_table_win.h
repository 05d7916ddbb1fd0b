// A process's handle count, counted from the system's handle table: Wine
// answers GetProcessHandleCount with 0 for every process, so a check built
// on it compares 0 with 0 and cannot fail.
#pragma once

#include <windows.h>

#include "common/handle_win.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace nuvra::testing {

struct HandleEntry {
  void* object;
  ULONG_PTR processId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG kExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The handles of `pid` as the system's table lists them, for naming what a
// leak left: value, object type index and granted access.
inline std::optional<std::vector<HandleEntry>> handleEntries(DWORD pid) {
  using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return std::nullopt;
  std::vector<ULONG_PTR> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
    const LONG status = query(kExtendedHandleInformation, buffer.data(), size, &needed);
    if (status == kInfoLengthMismatch && buffer.size() < (1u << 26)) {
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(ULONG_PTR) + 1024));
      continue;
    }
    if (status != 0) return std::nullopt;
    break;
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  std::vector<HandleEntry> found;
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].processId == pid) found.push_back(table->entries[i]);
  }
  return found;
}

inline std::optional<DWORD> handleCount(DWORD pid) {
  const auto entries = handleEntries(pid);
  if (!entries) return std::nullopt;
  return static_cast<DWORD>(entries->size());
}

// The kind of object a handle of `owner` names ("Event",
// "Thread", "File", ...), read from a duplicate; "?" when it cannot be.
inline std::string objectType(HANDLE owner, ULONG_PTR value) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(owner, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return "?";
  }
  nuvra::UniqueHandle held(copy);
  using Query = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  struct TypeName {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
  };
  alignas(8) unsigned char info[1024] = {};
  constexpr ULONG kObjectTypeInformation = 2;
  if (query == nullptr || query(copy, kObjectTypeInformation, info, sizeof(info), nullptr) != 0) {
    return "?";
  }
  TypeName name{};
  std::memcpy(&name, info, sizeof(name));
  std::string text;
  for (USHORT i = 0; i < name.length / 2; ++i) text += static_cast<char>(name.buffer[i]);
  return text;
}

}  // namespace nuvra::testing
