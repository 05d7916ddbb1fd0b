// Where a runtime's files live and how large a handoff mapping is: one
// definition shared by the addon and the tools that lay out and launch a
// product home.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nuvra {

// Both handoff mappings (startup and work): a 32-bit little-endian length
// word, then that many bytes of text, zeros after it.
inline constexpr std::size_t kHandoffMappingSize = 0x40000;
inline constexpr std::size_t kHandoffTextLimit = kHandoffMappingSize - 4;

// The native broker executable inside a runtime root: as the admission
// record names it, and as a suffix of a Windows path.
inline constexpr std::string_view kNativeEntryPath =
    "connector/vevadu-code/client/nuvra_windows_broker_native.exe";
inline constexpr std::wstring_view kBrokerRelativePath =
    L"\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe";
// node.exe inside a runtime root, in the same two forms.
inline constexpr std::string_view kNodeEntryPath = "runtime/node/node.exe";
inline constexpr std::wstring_view kNodeImageSuffix = L"\\runtime\\node\\node.exe";

// The device binding, the broker's folder (its endpoint record and the phase
// audits) and its endpoint record under a product home, and the most bytes
// an endpoint record may hold.
inline constexpr std::wstring_view kDeviceBindingPath = L"\\windows-device-auth.json";
inline constexpr std::wstring_view kBrokerStatePath = L"\\state\\broker";
inline constexpr std::wstring_view kEndpointRecordPath = L"\\state\\broker\\endpoint.json";
inline constexpr std::size_t kEndpointRecordLimit = 8191;

// The two markers under a product home.
inline constexpr std::wstring_view kLifetimeMarkerPath = L"\\state\\runtime\\lifetime.v1";
inline constexpr std::wstring_view kWorkMarkerPath = L"\\state\\runtime\\work.v1";

}  // namespace nuvra
