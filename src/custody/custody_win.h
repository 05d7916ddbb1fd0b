// The Windows side of proving a runtime's startup custody: the handoff
// mapping, the acknowledgement pipe, this process's image, its parent and
// the home's serialisation mutex. Each function is one step of `initialize`
// and throws that step's reason code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

// NUVRA_PROFILE_HANDOFF as a decimal handle, made non-inheritable;
// "profile_custody_required", "profile_integer", "profile_handle",
// "profile_inheritance".
HANDLE handoffMappingFromEnvironment();
void removeHandoffVariable() noexcept;

// Copies the handoff text out of a read-only view and proves that the
// mapping cannot be viewed for writing; "profile_mapping",
// "profile_mapping_writable".
std::string readHandoffText(HANDLE mapping);

// A handle value read from the handoff; "profile_handle" at 2^63 and above.
HANDLE handleFromValue(std::uint64_t value);

// The acknowledgement handle must be a pipe; "profile_startup_ack".
void requirePipe(HANDLE handle);

// This process runs root + "\runtime\node\node.exe"; "profile_node_image".
void requireNodeImage(const std::wstring& root);

// The inherited parent is alive, is our creator and runs `parentImage`;
// returns its image path (UTF-8). "profile_parent".
std::string proveParent(HANDLE parent, std::uint32_t parentPid, std::string_view parentImage);

// root + "\connector\vevadu-code\client\nuvra_windows_broker_native.exe",
// the file the resident's parent and broker work must run.
std::wstring nativeTargetPath(const std::wstring& root);

}  // namespace nuvra
