#include "work_handoff_win.h"

#include <cstdint>
#include <cwchar>
#include <span>

#include "launch/launch_text.h"

namespace nuvra::broker {

HANDLE workHandoffHandle() noexcept {
  wchar_t value[32] = {};
  const DWORD length = GetEnvironmentVariableW(L"NUVRA_PROFILE_WORK_HANDOFF", value, 32);
  if (length == 0 || length >= 32) return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(value, nullptr, 10)));
}

std::optional<std::string> readWorkHandoff(HANDLE mapping) {
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kHandoffMappingSize);
  if (view == nullptr) return std::nullopt;
  std::optional<std::string> text;
  try {
    text = std::string(
        readHandoff(std::span(static_cast<const unsigned char*>(view), kHandoffMappingSize)));
  } catch (...) {
    text.reset();
  }
  UnmapViewOfFile(view);
  return text;
}

}  // namespace nuvra::broker
